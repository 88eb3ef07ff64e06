#include "app/PortPopup.h"

#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <algorithm>

namespace movarth {

namespace {

// Rows shown at once; more scroll.
constexpr int kVisibleRows = 8;

} // namespace

TPortPopup::TPortPopup(int nameRole, QWidget* parent) : QListView(parent), nameRole_(nameRole)
{
    setWindowFlags(Qt::Popup);
    // A pop-up is a window of its own: it takes the main window's font only when told to.
    setAttribute(Qt::WA_WindowPropagation);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setUniformItemSizes(true);
    connect(this, &QListView::clicked, this, &TPortPopup::Pick);
}

void TPortPopup::ShowBelow(QWidget* field, int row)
{
    const int rows = model() != nullptr ? model()->rowCount() : 0;
    const int frame = 2 * frameWidth();
    const int rowHeight = rows > 0 ? sizeHintForRow(0) : fontMetrics().height() + 4;
    const bool scrolls = rows > kVisibleRows;
    const int contentWidth =
        rows > 0 ? sizeHintForColumn(0) : fontMetrics().horizontalAdvance(EmptyText()) + 8;
    int width =
        std::max(field->width(),
                 contentWidth + frame + (scrolls ? verticalScrollBar()->sizeHint().width() : 0));
    const QRect screen = field->screen()->availableGeometry();
    width = std::min(width, screen.width());
    const int height = std::clamp(rows, 1, kVisibleRows) * rowHeight + frame;
    QPoint at = field->mapToGlobal(QPoint(0, field->height()));
    at.setX(std::clamp(at.x(), screen.left(), screen.right() - width + 1));
    if (at.y() + height > screen.bottom()) at.setY(field->mapToGlobal(QPoint(0, 0)).y() - height);
    setGeometry(QRect(at, QSize(width, height)));
    setCurrentIndex(row >= 0 && model() != nullptr ? model()->index(row, 0) : QModelIndex());
    show();
    setFocus(Qt::PopupFocusReason);
}

void TPortPopup::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Pick(currentIndex());
        return;
    case Qt::Key_Escape:
        hide();
        return;
    default:
        QListView::keyPressEvent(event);
    }
}

void TPortPopup::paintEvent(QPaintEvent* event)
{
    QListView::paintEvent(event);
    if (model() != nullptr && model()->rowCount() > 0) return;
    QPainter painter(viewport());
    painter.drawText(viewport()->rect(), Qt::AlignCenter, EmptyText());
}

QString TPortPopup::EmptyText()
{
    return QStringLiteral("没有找到串口");
}

void TPortPopup::Pick(const QModelIndex& index)
{
    if (!index.isValid()) return;
    const QString name = index.data(nameRole_).toString();
    hide();
    if (OnPick) OnPick(name);
}

} // namespace movarth
