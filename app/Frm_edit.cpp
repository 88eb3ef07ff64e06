#include "app/Frm_edit.h"

#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/QtOperator.h"
#include "controls/Colors.h"
#include "controls/Fonts.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

namespace movarth {

TFrm_edit* Frm_edit = nullptr;

namespace {

// Refused instead of writing over the header row or a row that holds no entry.
constexpr const char* kNoEntrySelected = "请先在表格中选中要修改的条目！";

} // namespace

void CentreOnScreen(QWidget& window)
{
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

TFrm_edit::TFrm_edit(TFrm_main& main, TOperator* op, QWidget* parent)
    : QWidget(parent), main_(main),
      ownOperator_(op == nullptr ? std::make_unique<TQtOperator>(this) : nullptr),
      operator_(op == nullptr ? ownOperator_.get() : op)
{
    setWindowTitle(QStringLiteral("修改已加入的条目"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // A secondary window: closing the main window ends the program even while this one shows.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(352, 250);
    setAutoFillBackground(true);
    setFont(SongTi(14));

    const struct
    {
        QLabel* label;
        const char* text;
        int left;
    } captions[] = {{Label3, "开播时间", 52}, {Label4, "节目长度", 148}, {Label2, "结束时间", 244}};
    for (const auto& c : captions) {
        c.label->setGeometry(c.left, 24, 56, 14);
        c.label->setText(QString::fromUtf8(c.text));
        SetTextColor(c.label, clNavy);
    }
    int left = 40;
    for (TMaskTimeField* field : {MaskEdit1, MaskEdit2, MaskEdit3}) {
        field->setGeometry(left, 48, 81, 24);
        field->setFont(SongTi(16, true));
        left += 96;
    }

    RadioGroup1->setGeometry(80, 88, 193, 89);
    RadioGroup1->setTitle(QStringLiteral("请选择修改的组合方式"));
    const char* items[] = {"开播时间、节目长度", "节目长度、结束时间", "开播时间、结束时间"};
    for (int i = 0; i < 3; ++i) {
        auto* button = new QRadioButton(QString::fromUtf8(items[i]), RadioGroup1);
        button->setGeometry(8, 18 + i * 22, 177, 20);
        choices_->addButton(button, i);
    }
    SetItemIndex(0);

    BitBtn1->setGeometry(80, 200, 75, 25);
    BitBtn1->setText(QStringLiteral("确认"));
    BitBtn1->setFont(SongTi(16));
    SetTextColor(BitBtn1, QColor(255, 0, 0));
    BitBtn2->setGeometry(192, 200, 75, 25);
    BitBtn2->setText(QStringLiteral("返回"));
    for (QPushButton* button : {BitBtn1, BitBtn2})
        button->setAutoDefault(false);

    // Keyboard focus order of the layout.
    QWidget* order[] = {MaskEdit1, BitBtn1, RadioGroup1, BitBtn2, MaskEdit2, MaskEdit3};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    connect(BitBtn1, &QPushButton::clicked, this,
            [this] { RunHandler([this] { BitBtn1Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this,
            [this] { RunHandler([this] { BitBtn2Click(); }); });
}

TFrm_edit::~TFrm_edit()
{
    if (Frm_edit == this) Frm_edit = nullptr;
}

void TFrm_edit::SetItemIndex(int index)
{
    if (QAbstractButton* button = choices_->button(index)) button->setChecked(true);
}

void TFrm_edit::Edit(const std::string& start, const std::string& length, const std::string& end)
{
    MaskEdit1->SetText(start);
    MaskEdit2->SetText(length);
    MaskEdit3->SetText(end);
    if (!isVisible()) {
        show();
        CentreOnScreen(*this);
    }
    raise();
    activateWindow();
}

void TFrm_edit::BitBtn1Click()
{
    // The download sends the rows as they were when it began: an edit now would not reach the
    // controller while the status line said all was sent. Nothing changes, and the editor
    // stays open with what was typed, to be confirmed once the download has ended.
    if (main_.DownloadBusy()) return;
    TStringTable& table = main_.SortGrid1->Table();
    const int row = table.Row();
    if (row < 1 || row > main_.EntryCount()) {
        operator_->ShowMessage(kNoEntrySelected);
        return;
    }

    NormalizeTimeText(*MaskEdit1);
    NormalizeTimeText(*MaskEdit2);
    NormalizeTimeText(*MaskEdit3);
    const TEntryField bad = CheckEntryFields(*MaskEdit1, *MaskEdit2, *MaskEdit3);
    if (bad != TEntryField::efNone) {
        operator_->ShowMessage(EntryFieldMessage(bad));
        return;
    }

    const int start = TimeTextToSeconds(MaskEdit1->Text());
    const int length = TimeTextToSeconds(MaskEdit2->Text());
    const int end = TimeTextToSeconds(MaskEdit3->Text());
    switch (ItemIndex()) {
    case 0:
        MaskEdit3->SetText(SecondsToTimeText(EndFromStartLength(start, length)));
        break;
    case 1:
        MaskEdit1->SetText(SecondsToTimeText(StartFromEndLength(end, length)));
        break;
    case 2:
        MaskEdit2->SetText(SecondsToTimeText(LengthFromStartEnd(start, end)));
        break;
    default:
        break;
    }

    table.SetCell(0, row, MaskEdit1->Text());
    table.SetCell(1, row, MaskEdit2->Text());
    table.SetCell(2, row, MaskEdit3->Text());
    main_.Schedule.SortEntries();
    hide();
}

void TFrm_edit::BitBtn2Click()
{
    hide();
}

void TFrm_edit::keyPressEvent(QKeyEvent* event)
{
    // The fields, the choices and the buttons let Enter and Escape through to the window.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        (focusWidget() == BitBtn2 ? BitBtn2 : BitBtn1)->click();
        return;
    case Qt::Key_Escape:
        BitBtn2->click();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

} // namespace movarth
