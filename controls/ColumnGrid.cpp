#include "ColumnGrid.h"

#include "controls/Colors.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace movarth {

// ---- TCellEditor ----------------------------------------------------------------------------

TCellEditor::TCellEditor(QObject* owner) : QObject(owner) {}

TCellEditor::~TCellEditor()
{
    if (!grid_) return;
    TGridColumns& columns = grid_->Columns();
    for (int i = 0; i < columns.Count() && grid_; ++i)
        if (columns[i].Editor() == this) columns[i].SetEditor(nullptr);
}

void TCellEditor::Attach(TColumnGrid& grid)
{
    if (grid_ && grid_ != &grid)
        throw ECellEditorError(QStringLiteral("%1 is allready assigned to %2")
                                   .arg(objectName(), grid_->objectName())
                                   .toStdString());
    grid_ = &grid;
    ++refCount_;
}

void TCellEditor::Detach()
{
    if (--refCount_ == 0) grid_ = nullptr;
}

void TCellEditor::SetCellText(const std::string& text)
{
    if (grid_) grid_->SetEditText(grid_->EditCol(), grid_->EditRow(), text);
}

// ---- TGridColumnItem ------------------------------------------------------------------------

TGridColumnItem::TGridColumnItem(TGridColumns& collection)
    : collection_(collection), headerColor_(collection.Grid().FixedColor()),
      headerFont_(collection.Grid().Font()), color_(collection.Grid().Color()),
      font_(collection.Grid().Font())
{
}

TGridColumnItem::~TGridColumnItem()
{
    if (editor_) editor_->Detach();
}

int TGridColumnItem::Index() const
{
    return collection_.IndexOf(*this);
}

TColumnGrid& TGridColumnItem::Grid() const
{
    return collection_.Grid();
}

void TGridColumnItem::Repaint() const
{
    Grid().InvalidateCol(Index());
}

void TGridColumnItem::SetHeaderColor(const QColor& color)
{
    headerColor_ = color;
    Repaint();
}

void TGridColumnItem::SetHeaderFont(const TFont& font)
{
    headerFont_ = font;
    Repaint();
}

void TGridColumnItem::SetHeaderAlignment(TAlignment alignment)
{
    if (alignment == headerAlignment_) return;
    headerAlignment_ = alignment;
    Repaint();
}

std::string TGridColumnItem::Caption() const
{
    return Grid().Cells(Index(), 0);
}

void TGridColumnItem::SetCaption(const std::string& caption)
{
    Grid().SetCells(Index(), 0, caption);
}

void TGridColumnItem::SetColor(const QColor& color)
{
    color_ = color;
    Repaint();
}

int TGridColumnItem::Width() const
{
    return Grid().ColWidths(Index());
}

void TGridColumnItem::SetWidth(int width)
{
    Grid().SetColWidths(Index(), width);
}

void TGridColumnItem::SetFont(const TFont& font)
{
    font_ = font;
    Repaint();
}

void TGridColumnItem::SetAlignment(TAlignment alignment)
{
    if (alignment == alignment_) return;
    alignment_ = alignment;
    Repaint();
}

void TGridColumnItem::SetEditor(TCellEditor* editor)
{
    if (editor == editor_) return;
    if (editor) editor->Attach(Grid());
    if (editor_) editor_->Detach();
    editor_ = editor;
}

void TGridColumnItem::Assign(const TGridColumnItem& source)
{
    if (&source == this) return;
    SetHeaderColor(source.HeaderColor());
    SetHeaderFont(source.HeaderFont());
    SetColor(source.Color());
    SetFont(source.Font());
    SetAlignment(source.Alignment());
    SetHeaderAlignment(source.HeaderAlignment());
    SetCaption(source.Caption());
}

void TGridColumnItem::ShowEditor(int row)
{
    const QRect rect = Grid().CellRect(Index(), row);
    if (editor_ && !rect.isEmpty()) editor_->ShowAt(rect);
}

// ---- TGridColumns ---------------------------------------------------------------------------

int TGridColumns::IndexOf(const TGridColumnItem& item) const
{
    const auto it = std::find_if(items_.begin(), items_.end(),
                                 [&](const auto& owned) { return owned.get() == &item; });
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void TGridColumns::Assign(const TGridColumns& source)
{
    if (&source == this) return;
    grid_.SetColCount(source.Count());
    for (int i = 0; i < source.Count() && i < Count(); ++i)
        (*this)[i].Assign(source[i]);
}

void TGridColumns::Add()
{
    items_.push_back(std::unique_ptr<TGridColumnItem>(new TGridColumnItem(*this)));
}

void TGridColumns::DeleteLast()
{
    items_.pop_back();
}

void TGridColumns::Move(int from, int to)
{
    auto item = std::move(items_.at(from));
    items_.erase(items_.begin() + from);
    items_.insert(items_.begin() + to, std::move(item));
}

// ---- TColumnGrid ----------------------------------------------------------------------------

TColumnGrid::TColumnGrid(QWidget* parent)
    : QAbstractScrollArea(parent), ownTable_(std::make_unique<TStringTable>()),
      table_(ownTable_.get())
{
    Init();
    table_->SetRow(fixedRows_);
}

TColumnGrid::TColumnGrid(TStringTable& table, QWidget* parent)
    : QAbstractScrollArea(parent), table_(&table)
{
    Init();
}

void TColumnGrid::Init()
{
    fixedLineColor_ = clBlack;
    gridLineColor_ = clSilver;
    fixedColor_ = clBtnFace();
    color_ = clWindow();
    font_ = {font(), clWindowText()};
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    columns_ = std::make_unique<TGridColumns>(*this);
    listenerId_ = table_->AddListener([this] { TableChanged(); });
    lastRow_ = table_->Row();
    SetScrollBars(scrollBars_);
    TableChanged();
}

TColumnGrid::~TColumnGrid()
{
    for (int i = 0; i < columns_->Count(); ++i)
        if (TCellEditor* editor = (*columns_)[i].Editor()) editor->GridWindowClosing();
    columns_.reset();
    table_->RemoveListener(listenerId_);
}

void TColumnGrid::SetTable(TStringTable* table)
{
    if (!table) {
        if (!ownTable_) ownTable_ = std::make_unique<TStringTable>();
        table = ownTable_.get();
    }
    if (table == table_) return;
    table_->RemoveListener(listenerId_);
    table_ = table;
    listenerId_ = table_->AddListener([this] { TableChanged(); });
    lastRow_ = -1;
    TableChanged();
}

void TColumnGrid::TableChanged()
{
    if (columns_->Count() != ColCount()) SizeChanged(columns_->Count());
    UpdateScrollBars();
    if (Row() != lastRow_) {
        lastRow_ = Row();
        ScrollIntoView(col_, Row());
    }
    viewport()->update();
}

void TColumnGrid::SizeChanged(int oldColCount)
{
    const int count = ColCount();
    for (int i = oldColCount - 1; i >= count; --i)
        columns_->DeleteLast();
    for (int i = oldColCount; i < count; ++i)
        columns_->Add();
    colWidths_.resize(count, defaultColWidth_);
    if (col_ >= count) col_ = std::max(count - 1, 0);
}

void TColumnGrid::SetCol(int col)
{
    if (col == col_ || col < 0 || col >= ColCount()) return;
    col_ = col;
    ScrollIntoView(col_, Row());
    viewport()->update();
}

void TColumnGrid::SetFixedRows(int count)
{
    fixedRows_ = std::max(count, 0);
    topRow_ = std::max(topRow_, fixedRows_);
    TableChanged();
}

void TColumnGrid::SetFixedCols(int count)
{
    fixedCols_ = std::max(count, 0);
    leftCol_ = std::max(leftCol_, fixedCols_);
    TableChanged();
}

void TColumnGrid::SetTopRow(int row)
{
    row = std::clamp(row, fixedRows_, std::max(fixedRows_, MaxScrollStart(true)));
    verticalScrollBar()->setValue(row - fixedRows_);
}

void TColumnGrid::SetLeftCol(int col)
{
    col = std::clamp(col, fixedCols_, std::max(fixedCols_, MaxScrollStart(false)));
    horizontalScrollBar()->setValue(col - fixedCols_);
}

void TColumnGrid::SetDefaultColWidth(int width)
{
    defaultColWidth_ = width;
    std::fill(colWidths_.begin(), colWidths_.end(), width);
    TableChanged();
}

void TColumnGrid::SetDefaultRowHeight(int height)
{
    defaultRowHeight_ = height;
    TableChanged();
}

int TColumnGrid::ColWidths(int col) const
{
    return col >= 0 && col < static_cast<int>(colWidths_.size()) ? colWidths_[col] : 0;
}

void TColumnGrid::SetColWidths(int col, int width)
{
    if (col < 0 || col >= static_cast<int>(colWidths_.size()) || colWidths_[col] == width) return;
    colWidths_[col] = width;
    TableChanged();
}

void TColumnGrid::SetGridLineWidth(int width)
{
    gridLineWidth_ = std::max(width, 0);
    TableChanged();
}

void TColumnGrid::SetOptions(TGridOptions options)
{
    options_ = options;
    TableChanged();
}

void TColumnGrid::SetScrollBars(TScrollStyle style)
{
    scrollBars_ = style;
    const bool vertical = style == TScrollStyle::ssVertical || style == TScrollStyle::ssBoth;
    const bool horizontal = style == TScrollStyle::ssHorizontal || style == TScrollStyle::ssBoth;
    setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
}

template <typename T> void TColumnGrid::Change(T& field, const T& value)
{
    if (field == value) return;
    field = value;
    viewport()->update();
}

void TColumnGrid::SetFixedColor(const QColor& color)
{
    Change(fixedColor_, color);
}

void TColumnGrid::SetColor(const QColor& color)
{
    Change(color_, color);
}

void TColumnGrid::SetFont(const TFont& font)
{
    Change(font_, font);
}

void TColumnGrid::SetFixedLineColor(const QColor& color)
{
    Change(fixedLineColor_, color);
}

void TColumnGrid::SetGridLineColor(const QColor& color)
{
    Change(gridLineColor_, color);
}

void TColumnGrid::SetMultiLine(bool multiLine)
{
    Change(multiLine_, multiLine);
}

void TColumnGrid::SetDefaultDrawing(bool defaultDrawing)
{
    Change(defaultDrawing_, defaultDrawing);
}

// ---- Layout ---------------------------------------------------------------------------------

// Lines take room between cells only where the options ask for them.
int TColumnGrid::VertLineWidth() const
{
    return options_ & goVertLine ? gridLineWidth_ : 0;
}
int TColumnGrid::HorzLineWidth() const
{
    return options_ & goHorzLine ? gridLineWidth_ : 0;
}

int TColumnGrid::ColLeft(int col) const
{
    const int fixed = std::min(fixedCols_, ColCount());
    if (col < 0 || col >= ColCount() || (col >= fixed && col < leftCol_)) return -1;
    int x = 0;
    for (int c = 0; c < fixed && c < col; ++c)
        x += ColWidths(c) + VertLineWidth();
    for (int c = leftCol_; c < col; ++c)
        x += ColWidths(c) + VertLineWidth();
    return x;
}

int TColumnGrid::RowTop(int row) const
{
    const int fixed = std::min(fixedRows_, RowCount());
    if (row < 0 || row >= RowCount() || (row >= fixed && row < topRow_)) return -1;
    const int slot = row < fixed ? row : fixed + row - topRow_;
    return slot * (RowHeight() + HorzLineWidth());
}

int TColumnGrid::MaxScrollStart(bool rows) const
{
    const int count = rows ? RowCount() : ColCount();
    const int fixed = std::min(rows ? fixedRows_ : fixedCols_, count);
    const int line = rows ? HorzLineWidth() : VertLineWidth();
    const int extent = rows ? viewport()->height() : viewport()->width();
    auto size = [&](int i) { return rows ? RowHeight() : ColWidths(i); };
    int avail = extent;
    for (int i = 0; i < fixed; ++i)
        avail -= size(i) + line;
    int start = count;
    int used = 0;
    while (start > fixed) {
        const int next = used + size(start - 1) + (used > 0 ? line : 0);
        if (next > avail) break;
        used = next;
        --start;
    }
    return std::min(start, std::max(count - 1, fixed));
}

QRect TColumnGrid::CellRect(int col, int row) const
{
    const int x = ColLeft(col);
    const int y = RowTop(row);
    if (x < 0 || y < 0 || x >= viewport()->width() || y >= viewport()->height()) return {};
    return QRect(x, y, ColWidths(col), RowHeight());
}

bool TColumnGrid::MouseToCell(QPoint position, int& col, int& row) const
{
    for (int r = 0; r < RowCount(); ++r) {
        const int y = RowTop(r);
        if (y < 0 || position.y() < y || position.y() >= y + RowHeight() + HorzLineWidth())
            continue;
        for (int c = 0; c < ColCount(); ++c) {
            const int x = ColLeft(c);
            if (x >= 0 && position.x() >= x && position.x() < x + ColWidths(c) + VertLineWidth()) {
                col = c;
                row = r;
                return true;
            }
        }
        return false;
    }
    return false;
}

void TColumnGrid::UpdateScrollBars()
{
    const int maxTop = std::max(fixedRows_, MaxScrollStart(true));
    const int maxLeft = std::max(fixedCols_, MaxScrollStart(false));
    const int visibleRows =
        std::max(1, (viewport()->height() - fixedRows_ * (RowHeight() + HorzLineWidth())) /
                        std::max(1, RowHeight() + HorzLineWidth()));
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, maxTop - fixedRows_);
    v->setPageStep(visibleRows);
    v->setSingleStep(1);
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, maxLeft - fixedCols_);
    h->setPageStep(1);
    h->setSingleStep(1);
    // The scroll bars are the source of the first scrolled row and column.
    topRow_ = fixedRows_ + v->value();
    leftCol_ = fixedCols_ + h->value();
}

void TColumnGrid::scrollContentsBy(int, int)
{
    topRow_ = fixedRows_ + verticalScrollBar()->value();
    leftCol_ = fixedCols_ + horizontalScrollBar()->value();
    viewport()->update();
    TopLeftChanged();
}

void TColumnGrid::TopLeftChanged()
{
    if (activeEditor_) DrawEditor(col_, Row());
}

void TColumnGrid::ScrollIntoView(int col, int row)
{
    if (row >= fixedRows_ && row < RowCount()) {
        if (row < topRow_)
            SetTopRow(row);
        else {
            // Scroll until the row shows whole.
            const int fixed = std::min(fixedRows_, RowCount());
            const int pitch = RowHeight() + HorzLineWidth();
            int top = topRow_;
            while (top < row &&
                   (fixed + row - top + 1) * pitch - HorzLineWidth() > viewport()->height())
                ++top;
            SetTopRow(top);
        }
    }
    if (col >= fixedCols_ && col < ColCount() && col < leftCol_) SetLeftCol(col);
}

void TColumnGrid::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void TColumnGrid::InvalidateCol(int col)
{
    const int x = ColLeft(col);
    if (x < 0) return;
    viewport()->update(
        QRect(x - gridLineWidth_, 0, ColWidths(col) + 2 * gridLineWidth_, viewport()->height()));
}

void TColumnGrid::InvalidateCell(int col, int row)
{
    const QRect rect = CellRect(col, row);
    if (!rect.isEmpty())
        viewport()->update(
            rect.adjusted(-gridLineWidth_, -gridLineWidth_, gridLineWidth_, gridLineWidth_));
}

// ---- Drawing --------------------------------------------------------------------------------

bool TColumnGrid::event(QEvent* event)
{
    // The frame around the cells and the scroll bar, filled as bands of its own width: at a
    // fractional scale factor a one-pixel line would fall on device pixels that the viewport
    // and the scroll bar paint over, and one side would be missing. The outer edge of a band
    // always keeps pixels of its own.
    if (event->type() != QEvent::Paint || frameWidth() == 0)
        return QAbstractScrollArea::event(event);
    const int w = frameWidth();
    const QRect all = rect();
    const QColor color = palette().color(QPalette::Mid);
    QPainter painter(this);
    painter.fillRect(QRect(all.left(), all.top(), all.width(), w), color);
    painter.fillRect(QRect(all.left(), all.bottom() - w + 1, all.width(), w), color);
    painter.fillRect(QRect(all.left(), all.top(), w, all.height()), color);
    painter.fillRect(QRect(all.right() - w + 1, all.top(), w, all.height()), color);
    return true;
}

void TColumnGrid::paintEvent(QPaintEvent* event)
{
    QPainter canvas(viewport());
    canvas.fillRect(event->rect(), color_);

    std::vector<int> fixedRows, dataRows, fixedCols, dataCols;
    for (int r = 0; r < std::min(fixedRows_, RowCount()); ++r)
        fixedRows.push_back(r);
    for (int r = topRow_; r < RowCount() && RowTop(r) >= 0 && RowTop(r) < viewport()->height(); ++r)
        dataRows.push_back(r);
    for (int c = 0; c < std::min(fixedCols_, ColCount()); ++c)
        fixedCols.push_back(c);
    for (int c = leftCol_; c < ColCount() && ColLeft(c) >= 0 && ColLeft(c) < viewport()->width();
         ++c)
        dataCols.push_back(c);

    // Fixed cells first, the scrolled cells last: where cells share a line, the later decides.
    auto drawArea = [&](const std::vector<int>& rows, const std::vector<int>& cols) {
        for (int row : rows)
            for (int col : cols) {
                const QRect rect = CellRect(col, row);
                if (rect.isEmpty() ||
                    !event->rect().intersects(rect.adjusted(-gridLineWidth_, -gridLineWidth_,
                                                            gridLineWidth_, gridLineWidth_)))
                    continue;
                TGridDrawState state;
                state.Fixed = row < fixedRows_ || col < fixedCols_;
                state.Selected =
                    !state.Fixed && row == Row() && ((options_ & goRowSelect) || col == col_);
                state.Focused = row == Row() && col == col_ && hasFocus();
                canvas.save();
                DrawCell(canvas, col, row, rect, state);
                canvas.restore();
            }
    };
    drawArea(fixedRows, fixedCols);
    drawArea(fixedRows, dataCols);
    drawArea(dataRows, fixedCols);
    drawArea(dataRows, dataCols);
}

void TColumnGrid::DrawCell(QPainter& canvas, int col, int row, const QRect& rect,
                           TGridDrawState state)
{
    TCanvasState prepared{state.Fixed ? fixedColor_ : color_, font_};
    if (!defaultDrawing_ || col >= columns_->Count()) {
        BaseDrawCell(canvas, prepared, col, row, rect, state);
        return;
    }
    const TGridColumnItem& column = (*columns_)[col];
    const bool header = row < fixedRows_;
    if (header) {
        prepared.Brush = column.HeaderColor();
        prepared.Font = column.HeaderFont();
    } else if (col >= fixedCols_) {
        prepared.Brush = column.Color();
        prepared.Font = column.Font();
    }
    if (state.Selected) {
        prepared.Brush = clHighlight();
        prepared.Font.Color = clHighlightText();
    }
    canvas.fillRect(rect, prepared.Brush);
    DrawTextIn(canvas, prepared, TextRect(rect), Cells(col, row),
               header ? column.HeaderAlignment() : column.Alignment());
    if (OnDrawCell) {
        canvas.save();
        OnDrawCell(*this, canvas, col, row, rect, state);
        canvas.restore();
    }
    DrawLines(canvas, rect, state);
}

void TColumnGrid::BaseDrawCell(QPainter& canvas, const TCanvasState& state, int col, int row,
                               const QRect& rect, TGridDrawState drawState)
{
    if (defaultDrawing_) {
        canvas.fillRect(rect, state.Brush);
        DrawTextIn(canvas, state, TextRect(rect), Cells(col, row), TAlignment::taLeftJustify);
    }
    if (OnDrawCell) OnDrawCell(*this, canvas, col, row, rect, drawState);
}

void TColumnGrid::DrawTextIn(QPainter& canvas, const TCanvasState& state, const QRect& rect,
                             const std::string& text, TAlignment alignment) const
{
    if (text.empty() || rect.isEmpty()) return;
    int flags = Qt::AlignTop;
    switch (alignment) {
    case TAlignment::taLeftJustify:
        flags |= Qt::AlignLeft;
        break;
    case TAlignment::taRightJustify:
        flags |= Qt::AlignRight;
        break;
    case TAlignment::taCenter:
        flags |= Qt::AlignHCenter;
        break;
    }
    // Without Qt::TextShowMnemonic an ampersand is shown as itself.
    flags |= multiLine_ ? Qt::TextWordWrap : Qt::TextSingleLine;
    canvas.save();
    canvas.setClipRect(rect);
    canvas.setFont(state.Font.Face);
    canvas.setPen(state.Font.Color);
    canvas.drawText(rect, flags, QString::fromStdString(text));
    canvas.restore();
}

void TColumnGrid::DrawLines(QPainter& canvas, const QRect& rect, TGridDrawState state) const
{
    const QColor color = state.Fixed ? fixedLineColor_ : gridLineColor_;
    const bool vertical = options_ & (state.Fixed ? goFixedVertLine : goVertLine);
    const bool horizontal = options_ & (state.Fixed ? goFixedHorzLine : goHorzLine);
    for (int k = 1; k <= gridLineWidth_; ++k) {
        const QRect r = rect.adjusted(-k, -k, k, k);
        if (horizontal) {
            canvas.fillRect(QRect(r.left(), r.top(), r.width(), 1), color);
            canvas.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), color);
        }
        if (vertical) {
            canvas.fillRect(QRect(r.left(), r.top(), 1, r.height()), color);
            canvas.fillRect(QRect(r.right(), r.top(), 1, r.height()), color);
        }
    }
}

// ---- Editing and input ----------------------------------------------------------------------

void TColumnGrid::SetEditText(int col, int row, const std::string& text)
{
    SetCells(col, row, text);
    if (OnSetEditText) OnSetEditText(*this, col, row, text);
}

void TColumnGrid::MoveColumn(int from, int to)
{
    const int count = ColCount();
    if (from == to || from < 0 || to < 0 || from >= count || to >= count) return;
    columns_->Move(from, to);
    const int width = colWidths_[from];
    colWidths_.erase(colWidths_.begin() + from);
    colWidths_.insert(colWidths_.begin() + to, width);
    for (int row = 0; row < RowCount(); ++row) {
        std::vector<std::string> texts;
        for (int col = 0; col < count; ++col)
            texts.push_back(Cells(col, row));
        std::string moved = std::move(texts[from]);
        texts.erase(texts.begin() + from);
        texts.insert(texts.begin() + to, std::move(moved));
        for (int col = 0; col < count; ++col)
            SetCells(col, row, std::move(texts[col]));
    }
    viewport()->update();
}

void TColumnGrid::DrawEditor(int col, int row)
{
    if (col < 0 || col >= columns_->Count()) return;
    TGridColumnItem& column = (*columns_)[col];
    TCellEditor* editor = column.Editor();
    if (!editor) return;
    if (OnDrawEditor)
        OnDrawEditor(*this, col, row, *editor);
    else
        column.ShowEditor(row);
}

bool TColumnGrid::CanEditShow()
{
    const bool gridAllows = (options_ & goEditing) && !(options_ & goRowSelect);
    if (gridAllows && hasFocus() && Row() >= fixedRows_ && col_ < columns_->Count()) {
        if (TCellEditor* editor = (*columns_)[col_].Editor()) {
            activeEditor_ = editor;
            editor->BeginEdit();
            editCol_ = col_;
            editRow_ = Row();
            DrawEditor(editCol_, editRow_);
        }
    }
    return false;
}

void TColumnGrid::MoveCurrent(int col, int row)
{
    bool canSelect = true;
    if (OnSelectCell) OnSelectCell(*this, col, row, canSelect);
    if (!canSelect) return;
    col_ = col;
    SetRow(row);
    ScrollIntoView(col, row);
    viewport()->update();
}

void TColumnGrid::mousePressEvent(QMouseEvent* event)
{
    int col = 0, row = 0;
    const QPoint position = event->position().toPoint();
    if (MouseToCell(position, col, row)) {
        if ((options_ & goAlwaysShowEditor) && col >= fixedCols_ && row >= fixedRows_ &&
            activeEditor_)
            activeEditor_->GridMouseDown(event->button(), position);
        bool canSelect = true;
        if (OnSelectCell) OnSelectCell(*this, col, row, canSelect);
        if (canSelect) {
            if (activeEditor_) activeEditor_->CellChanging();
            // Fixed cells too: a press on a header cell makes row 0 the current row.
            col_ = col;
            SetRow(row);
            viewport()->update();
        }
    }
    setFocus(Qt::MouseFocusReason);
    if (options_ & goEditing) CanEditShow();
    event->accept();
}

void TColumnGrid::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
}

void TColumnGrid::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second press of a double click is a press too, as the first was. Only the left
    // button double-clicks; the right one opens the pop-up menu.
    mousePressEvent(event);
    if (event->button() == Qt::LeftButton && OnDblClick) OnDblClick(*this);
}

void TColumnGrid::keyPressEvent(QKeyEvent* event)
{
    if (immediateEditMode_) {
        const QString text = event->text();
        const char16_t code = text.isEmpty() ? 0 : text.at(0).unicode();
        immediateChar_ = (options_ & goEditing) && code >= 32 ? code : 0;
    }
    const int firstRow = fixedRows_;
    const int lastRow = RowCount() - 1;
    const int page = std::max(1, verticalScrollBar()->pageStep());
    auto moveToRow = [&](int row) {
        if (lastRow >= firstRow) MoveCurrent(col_, std::clamp(row, firstRow, lastRow));
    };
    auto moveToCol = [&](int col) {
        if (!(options_ & goRowSelect) && ColCount() > fixedCols_)
            MoveCurrent(std::clamp(col, fixedCols_, ColCount() - 1), Row());
    };
    switch (event->key()) {
    case Qt::Key_Up:
        moveToRow(Row() - 1);
        break;
    case Qt::Key_Down:
        moveToRow(Row() + 1);
        break;
    case Qt::Key_PageUp:
        moveToRow(Row() - page);
        break;
    case Qt::Key_PageDown:
        moveToRow(Row() + page);
        break;
    case Qt::Key_Home:
        moveToRow(firstRow);
        break;
    case Qt::Key_End:
        moveToRow(lastRow);
        break;
    case Qt::Key_Left:
        moveToCol(col_ - 1);
        break;
    case Qt::Key_Right:
        moveToCol(col_ + 1);
        break;
    case Qt::Key_F2:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        CanEditShow();
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TColumnGrid::contextMenuEvent(QContextMenuEvent* event)
{
    if (!popupMenu_) {
        event->ignore();
        return;
    }
    popupMenu_->popup(event->globalPos());
    event->accept();
}

} // namespace movarth
