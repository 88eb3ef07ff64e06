#pragma once

#include "controls/Fonts.h"
#include "schedule/StringTable.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QFlags>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QMenu;

namespace movarth {

class TColumnGrid;
class TGridColumns;

enum class TAlignment
{
    taLeftJustify,
    taRightJustify,
    taCenter
};

enum TGridOption : unsigned
{
    goFixedVertLine = 1u << 0,
    goFixedHorzLine = 1u << 1,
    goVertLine = 1u << 2,
    goHorzLine = 1u << 3,
    goRangeSelect = 1u << 4,
    goEditing = 1u << 5,
    goRowSelect = 1u << 6,
    goAlwaysShowEditor = 1u << 7,
    goColMoving = 1u << 8,
};
Q_DECLARE_FLAGS(TGridOptions, TGridOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TGridOptions)

enum class TScrollStyle
{
    ssNone,
    ssHorizontal,
    ssVertical,
    ssBoth
};

struct TGridDrawState
{
    bool Selected = false;
    bool Focused = false;
    bool Fixed = false;
};

class ECellEditorError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A cell editor that columns of one grid may name. The system defines no concrete editor: a
// subclass decides what the abstract steps do. Its name is the object name.
class TCellEditor : public QObject
{
public:
    using TAllowEndEditEvent = std::function<void(QObject* sender, char16_t& key,
                                                  Qt::KeyboardModifiers shift, bool& endEdit)>;

    explicit TCellEditor(QObject* owner = nullptr);
    // Sets Editor to none on every column of its grid that refers to it.
    ~TCellEditor() override;

    TColumnGrid* Grid() const { return grid_; }
    int RefCount() const { return refCount_; }
    TAllowEndEditEvent AllowEndEditEvent; // stored, never raised by the base editor

    // Fails with ECellEditorError when attached to another grid.
    virtual void Attach(TColumnGrid& grid);
    virtual void Detach();
    virtual void GridWindowClosing() {}
    virtual void BeginEdit() = 0;
    virtual void GridMouseDown(Qt::MouseButton button, QPoint position) = 0;
    // Stores the text into the grid's cell (EditCol, EditRow) through its set-edit-text step.
    virtual void SetCellText(const std::string& text);
    virtual void ShowAt(const QRect& rect) = 0;
    virtual void CellChanging() = 0;

private:
    TColumnGrid* grid_ = nullptr;
    int refCount_ = 0;
};

// The look of one grid column: its header cells and its other cells.
class TGridColumnItem
{
public:
    TGridColumnItem(const TGridColumnItem&) = delete;
    TGridColumnItem& operator=(const TGridColumnItem&) = delete;
    // Detaches its editor.
    virtual ~TGridColumnItem();

    TGridColumns& Collection() const { return collection_; }
    int Index() const;

    QColor HeaderColor() const { return headerColor_; }
    void SetHeaderColor(const QColor& color);
    // Changing the font objects in place repaints nothing by itself.
    TFont& HeaderFont() { return headerFont_; }
    const TFont& HeaderFont() const { return headerFont_; }
    void SetHeaderFont(const TFont& font);
    TAlignment HeaderAlignment() const { return headerAlignment_; }
    void SetHeaderAlignment(TAlignment alignment);
    // The text of grid cell (Index, 0).
    std::string Caption() const;
    void SetCaption(const std::string& caption);
    QColor Color() const { return color_; }
    void SetColor(const QColor& color);
    // The grid's width of this column.
    int Width() const;
    void SetWidth(int width);
    TFont& Font() { return font_; }
    const TFont& Font() const { return font_; }
    void SetFont(const TFont& font);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);
    TCellEditor* Editor() const { return editor_; }
    // Attaches the new editor first: if that fails, the column keeps its old one.
    void SetEditor(TCellEditor* editor);

    // Copies the look and the caption; the editor is not copied.
    void Assign(const TGridColumnItem& source);
    // Shows the editor over the cell (Index, row) when that cell is visible.
    virtual void ShowEditor(int row);

private:
    friend class TGridColumns;
    explicit TGridColumnItem(TGridColumns& collection);

    TColumnGrid& Grid() const;
    void Repaint() const;

    TGridColumns& collection_;
    QColor headerColor_;
    TFont headerFont_;
    TAlignment headerAlignment_ = TAlignment::taLeftJustify;
    QColor color_;
    TFont font_;
    TAlignment alignment_ = TAlignment::taLeftJustify;
    TCellEditor* editor_ = nullptr;
};

// One column item per grid column, owned; the grid adds and frees them as ColCount changes.
class TGridColumns
{
public:
    explicit TGridColumns(TColumnGrid& grid) : grid_(grid) {}
    TGridColumns(const TGridColumns&) = delete;
    TGridColumns& operator=(const TGridColumns&) = delete;

    TColumnGrid& Grid() const { return grid_; }
    int Count() const { return static_cast<int>(items_.size()); }
    TGridColumnItem& operator[](int index) { return *items_.at(index); }
    const TGridColumnItem& operator[](int index) const { return *items_.at(index); }
    int IndexOf(const TGridColumnItem& item) const;

    // Makes the grid's column count that of the source, then copies each item.
    void Assign(const TGridColumns& source);

private:
    friend class TColumnGrid;
    void Add();
    void DeleteLast();
    void Move(int from, int to);

    TColumnGrid& grid_;
    std::vector<std::unique_ptr<TGridColumnItem>> items_;
};

// A string grid with one column object per column, drawn by the grid itself. Row 0 (the fixed
// rows) is a row of cells like the others, with the column captions as its texts. The cell
// texts and the current row live in a TStringTable, the grid's own or a shared one.
class TColumnGrid : public QAbstractScrollArea
{
public:
    using TDrawCellEvent = std::function<void(TColumnGrid& sender, QPainter& canvas, int col,
                                              int row, const QRect& rect, TGridDrawState state)>;
    using TDrawEditorEvent =
        std::function<void(TColumnGrid& sender, int col, int row, TCellEditor& editor)>;
    using TSelectCellEvent =
        std::function<void(TColumnGrid& sender, int col, int row, bool& canSelect)>;
    using TSetEditTextEvent =
        std::function<void(TColumnGrid& sender, int col, int row, const std::string& text)>;
    using TNotifyEvent = std::function<void(TColumnGrid& sender)>;

    explicit TColumnGrid(QWidget* parent = nullptr);
    // Shows an external table, which must outlive the grid (or be replaced before it goes).
    explicit TColumnGrid(TStringTable& table, QWidget* parent = nullptr);
    ~TColumnGrid() override;

    // nullptr goes back to the grid's own table.
    void SetTable(TStringTable* table);
    TStringTable& Table() const { return *table_; }

    int ColCount() const { return table_->ColCount(); }
    void SetColCount(int count) { table_->SetColCount(count); }
    int RowCount() const { return table_->RowCount(); }
    void SetRowCount(int count) { table_->SetRowCount(count); }
    const std::string& Cells(int col, int row) const { return table_->Cell(col, row); }
    void SetCells(int col, int row, std::string text)
    {
        table_->SetCell(col, row, std::move(text));
    }
    int Row() const { return table_->Row(); }
    void SetRow(int row) { table_->SetRow(row); }
    int Col() const { return col_; }
    void SetCol(int col);
    int FixedRows() const { return fixedRows_; }
    void SetFixedRows(int count);
    int FixedCols() const { return fixedCols_; }
    void SetFixedCols(int count);
    int TopRow() const { return topRow_; }
    void SetTopRow(int row);
    int LeftCol() const { return leftCol_; }
    void SetLeftCol(int col);

    int DefaultColWidth() const { return defaultColWidth_; }
    // Also sets every column to that width.
    void SetDefaultColWidth(int width);
    int DefaultRowHeight() const { return defaultRowHeight_; }
    void SetDefaultRowHeight(int height);
    int ColWidths(int col) const;
    void SetColWidths(int col, int width);
    int GridLineWidth() const { return gridLineWidth_; }
    void SetGridLineWidth(int width);
    TGridOptions Options() const { return options_; }
    void SetOptions(TGridOptions options);
    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle style);

    QColor FixedColor() const { return fixedColor_; }
    void SetFixedColor(const QColor& color);
    QColor Color() const { return color_; }
    void SetColor(const QColor& color);
    const TFont& Font() const { return font_; }
    void SetFont(const TFont& font);
    QColor FixedLineColor() const { return fixedLineColor_; }
    void SetFixedLineColor(const QColor& color);
    QColor GridLineColor() const { return gridLineColor_; }
    void SetGridLineColor(const QColor& color);
    bool MultiLine() const { return multiLine_; }
    void SetMultiLine(bool multiLine);
    bool DefaultDrawing() const { return defaultDrawing_; }
    void SetDefaultDrawing(bool defaultDrawing);
    bool ImmediateEditMode() const { return immediateEditMode_; }
    void SetImmediateEditMode(bool on) { immediateEditMode_ = on; }
    char16_t ImmediateChar() const { return immediateChar_; }

    TGridColumns& Columns() { return *columns_; }
    const TGridColumns& Columns() const { return *columns_; }
    void SetColumns(const TGridColumns& columns) { columns_->Assign(columns); }

    TCellEditor* ActiveEditor() const { return activeEditor_; }
    int EditCol() const { return editCol_; }
    int EditRow() const { return editRow_; }

    void SetPopupMenu(QMenu* menu) { popupMenu_ = menu; }
    QMenu* PopupMenu() const { return popupMenu_; }

    TDrawCellEvent OnDrawCell;
    TDrawEditorEvent OnDrawEditor;
    TSelectCellEvent OnSelectCell;
    TSetEditTextEvent OnSetEditText;
    TNotifyEvent OnDblClick;

    // The cell's rectangle in viewport coordinates, empty when the cell is not visible.
    QRect CellRect(int col, int row) const;
    // The cell under a viewport position; false when there is none.
    bool MouseToCell(QPoint position, int& col, int& row) const;
    // The text area of a cell: 2 pixels inside on every side.
    static QRect TextRect(const QRect& cell) { return cell.adjusted(2, 2, -2, -2); }

    // Stores an edited text into a cell and raises OnSetEditText.
    void SetEditText(int col, int row, const std::string& text);
    // Moves a column object, its width and its texts (captions included).
    void MoveColumn(int from, int to);
    virtual void DrawEditor(int col, int row);
    // Never lets a built-in editor show; starts the current column's editor when allowed.
    bool CanEditShow();

    void InvalidateCol(int col);
    void InvalidateCell(int col, int row);

protected:
    virtual void DrawCell(QPainter& canvas, int col, int row, const QRect& rect,
                          TGridDrawState state);
    virtual void TopLeftChanged();

    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct TCanvasState
    {
        QColor Brush;
        TFont Font;
    };

    void Init();
    // Stores a changed value and repaints.
    template <typename T> void Change(T& field, const T& value);
    void TableChanged();
    void SizeChanged(int oldColCount);
    void UpdateScrollBars();
    void ScrollIntoView(int col, int row);
    void MoveCurrent(int col, int row);
    // The string grid's own draw-cell step: the text at 2, 2 when DefaultDrawing, then OnDrawCell.
    void BaseDrawCell(QPainter& canvas, const TCanvasState& state, int col, int row,
                      const QRect& rect, TGridDrawState drawState);
    void DrawTextIn(QPainter& canvas, const TCanvasState& state, const QRect& rect,
                    const std::string& text, TAlignment alignment) const;
    void DrawLines(QPainter& canvas, const QRect& rect, TGridDrawState state) const;
    int ColLeft(int col) const;
    int RowTop(int row) const;
    int VertLineWidth() const;
    int HorzLineWidth() const;
    // The largest first scrolled row (or column) that still shows the last one whole.
    int MaxScrollStart(bool rows) const;
    int RowHeight() const { return defaultRowHeight_; }

    std::unique_ptr<TStringTable> ownTable_;
    TStringTable* table_ = nullptr;
    int listenerId_ = 0;
    int lastRow_ = 0;

    char16_t immediateChar_ = 0;
    int editCol_ = 0;
    int editRow_ = 0;
    bool multiLine_ = false;
    QPointer<TCellEditor> activeEditor_;
    std::unique_ptr<TGridColumns> columns_;
    QColor fixedLineColor_;
    QColor gridLineColor_;
    bool immediateEditMode_ = false;

    int col_ = 1;
    int fixedRows_ = 1;
    int fixedCols_ = 1;
    int topRow_ = 1;
    int leftCol_ = 1;
    int defaultColWidth_ = 64;
    int defaultRowHeight_ = 24;
    std::vector<int> colWidths_;
    int gridLineWidth_ = 1;
    TGridOptions options_ =
        goFixedVertLine | goFixedHorzLine | goVertLine | goHorzLine | goRangeSelect;
    TScrollStyle scrollBars_ = TScrollStyle::ssBoth;
    QColor fixedColor_;
    QColor color_;
    TFont font_;
    bool defaultDrawing_ = true;
    QMenu* popupMenu_ = nullptr;
};

} // namespace movarth
