#include "controls/ColumnGrid.h"

#include "controls/Colors.h"
#include "controls/ScheduleTable.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <vector>

using namespace movarth;

namespace {

QRgb Rgb(const QColor& color)
{
    return color.rgb() & 0xFFFFFF;
}
QRgb Rgb(const QImage& image, int x, int y)
{
    return image.pixel(x, y) & 0xFFFFFF;
}

// The bounding box of the pixels inside a rectangle that differ from its background.
QRect InkBox(const QImage& image, const QRect& rect, const QColor& background)
{
    QRect box;
    const QRect area = rect & image.rect();
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (Rgb(image, x, y) != Rgb(background)) box |= QRect(x, y, 1, 1);
    return box;
}

bool Contains(const QImage& image, const QRect& rect, const QColor& color)
{
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (Rgb(image, x, y) == Rgb(color)) return true;
    return false;
}

// Plain-pixel text: every inked pixel has the font's colour.
TFont SharpFont(const QColor& color, int pixelSize = 14)
{
    TFont font = SongTiFont(pixelSize);
    font.Face.setStyleStrategy(QFont::NoAntialias);
    font.Color = color;
    return font;
}

const QColor kHeaderBack{200, 230, 200};
const QColor kHeaderInk{0, 0, 160};
const QColor kDataBack{250, 250, 210};
const QColor kDataInk{160, 0, 0};

// The main window's schedule table: cells are 120 x 24 with 1-pixel lines between them,
// so column c starts at x = 121 c and row r at y = 25 r.
class ScheduleTable : public testing::Test
{
protected:
    void SetUp() override
    {
        grid.resize(384, 249);
        SetUpScheduleTable(grid);
        for (int i = 0; i < 3; ++i) {
            TGridColumnItem& column = grid.Columns()[i];
            column.SetHeaderColor(kHeaderBack);
            column.SetHeaderFont(SharpFont(kHeaderInk));
            column.SetColor(kDataBack);
            column.SetFont(SharpFont(kDataInk));
        }
        grid.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
    }

    QImage Picture() { return grid.viewport()->grab().toImage(); }

    void Fill(int rows)
    {
        grid.SetRowCount(rows + 1);
        for (int row = 1; row <= rows; ++row)
            for (int col = 0; col < 3; ++col)
                grid.SetCells(col, row, "12:00:0" + std::to_string(col));
    }

    TColumnGrid grid;
};

} // namespace

TEST_F(ScheduleTable, HasTheScheduleSettings)
{
    EXPECT_EQ(grid.ColCount(), 3);
    EXPECT_EQ(grid.RowCount(), 2);
    EXPECT_EQ(grid.FixedRows(), 1);
    EXPECT_EQ(grid.FixedCols(), 0);
    EXPECT_EQ(grid.DefaultRowHeight(), 24);
    EXPECT_EQ(grid.Options(),
              goFixedVertLine | goFixedHorzLine | goVertLine | goHorzLine | goRowSelect);
    EXPECT_EQ(grid.ScrollBars(), TScrollStyle::ssVertical);
    EXPECT_EQ(grid.FixedLineColor(), clBlack);
    EXPECT_EQ(grid.GridLineColor(), clSilver);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(grid.Columns()[i].Width(), 120);
        EXPECT_EQ(grid.Columns()[i].Alignment(), TAlignment::taCenter);
        EXPECT_EQ(grid.Columns()[i].HeaderAlignment(), TAlignment::taCenter);
    }
    EXPECT_EQ(grid.Columns()[0].Caption(), "开播时间");
    EXPECT_EQ(grid.Columns()[2].Caption(), "结束时间");
}

TEST_F(ScheduleTable, HeaderAndDataCellsTakeTheirColumnsLook)
{
    grid.Columns()[0].SetHeaderAlignment(TAlignment::taLeftJustify);
    grid.Columns()[1].SetAlignment(TAlignment::taRightJustify);
    grid.SetRowCount(3);
    grid.SetCells(0, 0, "开始时间");
    grid.SetCells(1, 0, "节目长度");
    grid.SetCells(0, 2, "00:10:00");
    grid.SetCells(1, 2, "00:10:00");
    grid.SetRow(1); // the row under test is not selected
    const QImage image = Picture();

    const QRect header0 = grid.CellRect(0, 0), header1 = grid.CellRect(1, 0);
    const QRect data0 = grid.CellRect(0, 2), data1 = grid.CellRect(1, 2);
    ASSERT_EQ(header1, QRect(121, 0, 120, 24));
    ASSERT_EQ(data1, QRect(121, 50, 120, 24));
    for (const QRect& cell : {header0, header1}) {
        EXPECT_EQ(Rgb(image, cell.left(), cell.top()), Rgb(kHeaderBack));
        EXPECT_TRUE(Contains(image, cell, kHeaderInk));
        EXPECT_FALSE(Contains(image, cell, kDataInk));
    }
    for (const QRect& cell : {data0, data1}) {
        EXPECT_EQ(Rgb(image, cell.right(), cell.bottom()), Rgb(kDataBack));
        EXPECT_TRUE(Contains(image, cell, kDataInk));
    }

    // Left in header 0, centred in header 1; centred in data 0, right in data 1; all at the top.
    const QRect leftInk = InkBox(image, header0, kHeaderBack);
    const QRect centredHeaderInk = InkBox(image, header1, kHeaderBack);
    const QRect centredInk = InkBox(image, data0, kDataBack);
    const QRect rightInk = InkBox(image, data1, kDataBack);
    EXPECT_LE(leftInk.left() - header0.left(), 4);
    EXPECT_GE(leftInk.left() - header0.left(), 2);
    EXPECT_NEAR(centredHeaderInk.center().x(), header1.center().x(), 2);
    EXPECT_NEAR(centredInk.center().x(), data0.center().x(), 2);
    EXPECT_LE(data1.right() - rightInk.right(), 4);
    EXPECT_GE(data1.right() - rightInk.right(), 2);
    for (const auto& [ink, cell] : {std::pair{leftInk, header0}, {rightInk, data1}}) {
        EXPECT_GE(ink.top() - cell.top(), 2);
        EXPECT_LE(ink.top() - cell.top(), 6) << "text starts at the top, not centred";
    }
}

TEST_F(ScheduleTable, SelectedRowShowsTheHighlightColoursInEveryColumn)
{
    Fill(3);
    grid.SetRow(2);
    const QImage image = Picture();
    for (int col = 0; col < 3; ++col) {
        const QRect selected = grid.CellRect(col, 2);
        EXPECT_EQ(Rgb(image, selected.left(), selected.top()), Rgb(clHighlight())) << col;
        EXPECT_TRUE(Contains(image, selected, clHighlightText())) << col;
        EXPECT_FALSE(Contains(image, selected, kDataInk)) << col;
        const QRect other = grid.CellRect(col, 1);
        EXPECT_EQ(Rgb(image, other.left(), other.top()), Rgb(kDataBack)) << col;
        const QRect header = grid.CellRect(col, 0);
        EXPECT_EQ(Rgb(image, header.left(), header.top()), Rgb(kHeaderBack)) << col;
    }
}

TEST_F(ScheduleTable, LinesAroundHeaderAndDataCells)
{
    grid.SetRowCount(1); // only the header: its lower line is its own
    QImage image = Picture();
    EXPECT_EQ(Rgb(image, 120, 10), Rgb(clBlack));
    EXPECT_EQ(Rgb(image, 241, 10), Rgb(clBlack));
    EXPECT_EQ(Rgb(image, 60, 24), Rgb(clBlack));

    Fill(2);
    image = Picture();
    EXPECT_EQ(Rgb(image, 120, 10), Rgb(clBlack));    // between header cells
    EXPECT_EQ(Rgb(image, 120, 30), Rgb(clSilver));   // between data cells
    EXPECT_EQ(Rgb(image, 60, 49), Rgb(clSilver));    // between data rows
    EXPECT_EQ(Rgb(image, 60, 24), Rgb(clSilver));    // the data row is drawn later and decides
    EXPECT_EQ(Rgb(image, 60, 74), Rgb(clSilver));    // under the last row
    EXPECT_EQ(Rgb(image, 121, 30), Rgb(kDataBack));  // the next cell begins
    EXPECT_EQ(Rgb(image, 362, 30), Rgb(clSilver));   // after the last column
    EXPECT_EQ(Rgb(image, 363, 30), Rgb(clWindow())); // beyond the cells: the grid's colour
}

TEST_F(ScheduleTable, TwoPixelLinesPaintTwoFramesAroundEachCell)
{
    grid.SetGridLineWidth(2); // column c starts at 122 c, row r at 26 r
    Fill(2);
    grid.SetRow(0);
    const QImage image = Picture();
    ASSERT_EQ(grid.CellRect(1, 1), QRect(122, 26, 120, 24));
    for (int x : {120, 121}) {
        EXPECT_EQ(Rgb(image, x, 10), Rgb(clBlack)) << x;
        EXPECT_EQ(Rgb(image, x, 30), Rgb(clSilver)) << x;
    }
    EXPECT_EQ(Rgb(image, 241, 30), Rgb(kDataBack));
    EXPECT_EQ(Rgb(image, 242, 30), Rgb(clSilver));
    EXPECT_EQ(Rgb(image, 243, 30), Rgb(clSilver));
    EXPECT_EQ(Rgb(image, 244, 30), Rgb(kDataBack));
    for (int y : {50, 51})
        EXPECT_EQ(Rgb(image, 60, y), Rgb(clSilver)) << y;
    EXPECT_EQ(Rgb(image, 60, 52), Rgb(kDataBack));
}

TEST_F(ScheduleTable, LongTextIsClippedTwoPixelsInside)
{
    grid.Columns()[0].SetAlignment(TAlignment::taLeftJustify);
    grid.Columns()[1].SetAlignment(TAlignment::taLeftJustify);
    grid.SetRow(0);
    const std::string longText(60, 'W');
    grid.SetCells(0, 1, longText);
    QImage image = Picture();
    const QRect cell = grid.CellRect(0, 1);
    const QRect ink = InkBox(image, cell.adjusted(-1, -1, 1, 1), kDataBack);
    EXPECT_EQ(ink.right(), cell.right() + 1) << "only the line to the right";
    EXPECT_FALSE(Contains(image, QRect(cell.right() - 1, cell.top(), 2, cell.height()), kDataInk));
    EXPECT_TRUE(Contains(image, QRect(cell.right() - 6, cell.top(), 5, cell.height()), kDataInk));
    EXPECT_FALSE(Contains(image, grid.CellRect(1, 1), kDataInk));
    EXPECT_FALSE(Contains(image, QRect(cell.left(), cell.bottom() - 1, cell.width(), 2), kDataInk));

    // One line only, unless MultiLine wraps it at the word breaks.
    grid.SetDefaultRowHeight(80);
    std::string words;
    for (int i = 0; i < 12; ++i)
        words += "word ";
    grid.SetCells(0, 1, words);
    image = Picture();
    const QRect tall = grid.CellRect(0, 1);
    QRect single = InkBox(image, tall, kDataBack);
    EXPECT_LE(single.height(), 16);
    grid.SetMultiLine(true);
    image = Picture();
    const QRect wrapped = InkBox(image, tall, kDataBack);
    EXPECT_GE(wrapped.height(), 30);
    EXPECT_LE(wrapped.bottom(), tall.bottom() - 2);
    EXPECT_LE(wrapped.right(), tall.right() - 2);
}

TEST_F(ScheduleTable, AnAmpersandIsShownAsItself)
{
    grid.Columns()[0].SetAlignment(TAlignment::taLeftJustify);
    grid.SetRow(0);
    grid.SetCells(0, 1, "&");
    const QRect cell = grid.CellRect(0, 1);
    EXPECT_TRUE(Contains(Picture(), cell, kDataInk));
    grid.SetCells(0, 1, "A&B");
    const int withAmpersand = InkBox(Picture(), cell, kDataBack).width();
    grid.SetCells(0, 1, "AB");
    const int without = InkBox(Picture(), cell, kDataBack).width();
    EXPECT_GT(withAmpersand, without + 4);
}

TEST_F(ScheduleTable, PressOnAHeaderCellMakesRowZeroCurrent)
{
    Fill(3);
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, QPoint(200, 60));
    EXPECT_EQ(grid.Row(), 2);
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(grid.Row(), 0);
    const QImage image = Picture();
    for (int row = 1; row <= 3; ++row)
        EXPECT_FALSE(Contains(image, grid.CellRect(0, row), clHighlight())) << row;
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, QPoint(300, 230)); // below the rows
    EXPECT_EQ(grid.Row(), 0);
}

TEST_F(ScheduleTable, KeysMoveTheCurrentRowWithinTheDataRows)
{
    Fill(3);
    grid.SetRow(1);
    QTest::keyClick(&grid, Qt::Key_Up);
    EXPECT_EQ(grid.Row(), 1);
    QTest::keyClick(&grid, Qt::Key_Down);
    EXPECT_EQ(grid.Row(), 2);
    QTest::keyClick(&grid, Qt::Key_End);
    EXPECT_EQ(grid.Row(), 3);
    QTest::keyClick(&grid, Qt::Key_Down);
    EXPECT_EQ(grid.Row(), 3);
    grid.SetRow(0);
    QTest::keyClick(&grid, Qt::Key_Down);
    EXPECT_EQ(grid.Row(), 1);
}

TEST_F(ScheduleTable, DoubleClickAndPopupMenu)
{
    Fill(2);
    int doubleClicks = 0;
    grid.OnDblClick = [&](TColumnGrid& sender) {
        EXPECT_EQ(&sender, &grid);
        ++doubleClicks;
    };
    QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, QPoint(50, 55));
    EXPECT_EQ(doubleClicks, 1);
    EXPECT_EQ(grid.Row(), 2);

    QMenu menu;
    menu.addAction(QStringLiteral("删除(&D)"));
    grid.SetPopupMenu(&menu);
    QTest::mouseClick(grid.viewport(), Qt::RightButton, {}, QPoint(50, 30));
    EXPECT_EQ(grid.Row(), 1) << "a right press selects the row the menu works on";
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(50, 30),
                            grid.viewport()->mapToGlobal(QPoint(50, 30)));
    QApplication::sendEvent(grid.viewport(), &event);
    EXPECT_TRUE(menu.isVisible());
    menu.hide();
}

TEST_F(ScheduleTable, FollowsASharedTable)
{
    TStringTable table(3, 2);
    grid.SetTable(&table);
    EXPECT_EQ(grid.Columns().Count(), 3);
    table.SetRowCount(31);
    table.SetCell(1, 20, "00:30:00");
    EXPECT_EQ(grid.RowCount(), 31);
    EXPECT_EQ(grid.Cells(1, 20), "00:30:00");
    EXPECT_GT(grid.verticalScrollBar()->maximum(), 0);
    table.SetRow(25);
    EXPECT_GT(grid.TopRow(), 1);
    EXPECT_FALSE(grid.CellRect(0, 25).isEmpty()) << "the current row is scrolled into view";
    EXPECT_FALSE(grid.CellRect(0, 0).isEmpty()) << "the header stays";
    EXPECT_TRUE(grid.CellRect(0, 1).isEmpty());
    table.SetColCount(4);
    EXPECT_EQ(grid.Columns().Count(), 4);
    grid.SetTable(nullptr);
    EXPECT_EQ(grid.Columns().Count(), grid.ColCount());
    table.SetColCount(6);
    EXPECT_EQ(grid.Columns().Count(), grid.ColCount());
}

TEST_F(ScheduleTable, OnDrawCellPaintsOverEachCell)
{
    std::vector<std::pair<int, int>> drawn;
    int fixedSeen = 0;
    grid.OnDrawCell = [&](TColumnGrid&, QPainter& canvas, int col, int row, const QRect& rect,
                          TGridDrawState state) {
        drawn.emplace_back(col, row);
        fixedSeen += state.Fixed;
        EXPECT_EQ(state.Fixed, row == 0);
        canvas.fillRect(rect.left() + 5, rect.top() + 5, 3, 3, Qt::green);
    };
    const QImage image = Picture();
    EXPECT_EQ(drawn.size(), 6u);
    EXPECT_EQ(fixedSeen, 3);
    EXPECT_EQ(image.pixelColor(grid.CellRect(2, 1).topLeft() + QPoint(6, 6)), QColor(Qt::green));

    grid.SetDefaultDrawing(false);
    drawn.clear();
    const QImage plain = Picture();
    EXPECT_EQ(drawn.size(), 6u);
    EXPECT_FALSE(Contains(plain, grid.CellRect(0, 0), kHeaderBack));
}

// ---- Columns --------------------------------------------------------------------------------

TEST(GridColumns, StartWithOneItemPerColumnOfTheGrid)
{
    TColumnGrid grid;
    EXPECT_EQ(grid.ColCount(), 5);
    EXPECT_EQ(grid.Columns().Count(), 5);
    EXPECT_EQ(grid.Row(), 1);
    const TGridColumnItem& column = grid.Columns()[2];
    EXPECT_EQ(column.HeaderColor(), clBtnFace());
    EXPECT_EQ(column.Color(), clWindow());
    EXPECT_EQ(column.HeaderAlignment(), TAlignment::taLeftJustify);
    EXPECT_EQ(column.Alignment(), TAlignment::taLeftJustify);
    EXPECT_EQ(column.Editor(), nullptr);
    EXPECT_EQ(column.Width(), 64);
    EXPECT_EQ(grid.GridLineColor(), clSilver);
    EXPECT_EQ(grid.FixedLineColor(), clBlack);
}

TEST(GridColumns, NewColumnsTakeTheGridsLookAtThatMoment)
{
    TColumnGrid grid;
    grid.SetColCount(3);
    const TFont before = grid.Font();
    const TFont later{QFont(QStringLiteral("DejaVu Sans"), 11), QColor(1, 2, 3)};
    grid.SetFixedColor(QColor(10, 20, 30));
    grid.SetColor(QColor(40, 50, 60));
    grid.SetFont(later);
    grid.SetColCount(5);
    ASSERT_EQ(grid.Columns().Count(), 5);
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(grid.Columns()[i].HeaderColor(), QColor(10, 20, 30));
        EXPECT_EQ(grid.Columns()[i].Color(), QColor(40, 50, 60));
        EXPECT_EQ(grid.Columns()[i].Font(), later);
        EXPECT_EQ(grid.Columns()[i].HeaderFont(), later);
    }
    EXPECT_EQ(grid.Columns()[2].Font(), before);
    EXPECT_EQ(grid.Columns()[2].HeaderColor(), clBtnFace());
    grid.SetColCount(3);
    EXPECT_EQ(grid.Columns().Count(), 3);
}

TEST(GridColumns, CaptionIsTheRowZeroCellAndWidthTheGridsWidth)
{
    TColumnGrid grid;
    grid.Columns()[1].SetCaption("节目长度");
    EXPECT_EQ(grid.Cells(1, 0), "节目长度");
    grid.SetCells(1, 0, "开始时间");
    EXPECT_EQ(grid.Columns()[1].Caption(), "开始时间");
    grid.Columns()[3].SetWidth(80);
    EXPECT_EQ(grid.ColWidths(3), 80);
    grid.SetColWidths(3, 90);
    EXPECT_EQ(grid.Columns()[3].Width(), 90);
    grid.SetDefaultColWidth(120);
    EXPECT_EQ(grid.Columns()[3].Width(), 120);
}

class TestEditor : public TCellEditor
{
public:
    explicit TestEditor(const char* name, int* closings = nullptr) : closings_(closings)
    {
        setObjectName(QString::fromUtf8(name));
    }
    void GridWindowClosing() override
    {
        if (closings_) ++*closings_;
    }
    void BeginEdit() override { ++begun; }
    void GridMouseDown(Qt::MouseButton, QPoint) override {}
    void ShowAt(const QRect& rect) override { shownAt = rect; }
    void CellChanging() override {}

    int begun = 0;
    QRect shownAt;

private:
    int* closings_;
};

TEST(GridColumns, AssignCopiesTheLookAndTheCaptionButNotTheEditor)
{
    TColumnGrid source, target;
    TestEditor editor("Editor1");
    TGridColumnItem& from = source.Columns()[1];
    from.SetHeaderColor(Qt::red);
    from.SetHeaderFont({QFont(QStringLiteral("DejaVu Sans"), 9), Qt::blue});
    from.SetColor(Qt::yellow);
    from.SetFont({QFont(QStringLiteral("DejaVu Serif"), 10), Qt::green});
    from.SetAlignment(TAlignment::taRightJustify);
    from.SetHeaderAlignment(TAlignment::taCenter);
    from.SetCaption("结束时间");
    from.SetEditor(&editor);

    TGridColumnItem& to = target.Columns()[3];
    to.Assign(from);
    EXPECT_EQ(to.HeaderColor(), QColor(Qt::red));
    EXPECT_EQ(to.HeaderFont(), from.HeaderFont());
    EXPECT_EQ(to.Color(), QColor(Qt::yellow));
    EXPECT_EQ(to.Font(), from.Font());
    EXPECT_EQ(to.Alignment(), TAlignment::taRightJustify);
    EXPECT_EQ(to.HeaderAlignment(), TAlignment::taCenter);
    EXPECT_EQ(target.Cells(3, 0), "结束时间");
    EXPECT_EQ(to.Editor(), nullptr);
}

TEST(GridColumns, ColumnsSetterCopiesIntoTheGridsOwnCollection)
{
    TColumnGrid source, target;
    source.SetColCount(2);
    source.Columns()[0].SetColor(Qt::cyan);
    source.Columns()[1].SetCaption("B");
    TGridColumns* own = &target.Columns();
    target.SetColumns(source.Columns());
    EXPECT_EQ(&target.Columns(), own);
    EXPECT_EQ(target.ColCount(), 2);
    ASSERT_EQ(target.Columns().Count(), 2);
    EXPECT_EQ(target.Columns()[0].Color(), QColor(Qt::cyan));
    EXPECT_EQ(target.Cells(1, 0), "B");
}

TEST(GridColumns, MovingAColumnMovesItsLookWidthAndTexts)
{
    TColumnGrid grid;
    grid.SetColCount(3);
    grid.Columns()[0].SetColor(Qt::red);
    grid.SetColWidths(0, 70);
    grid.SetCells(0, 0, "A");
    grid.SetCells(0, 2, "a");
    grid.SetCells(2, 0, "C");
    grid.MoveColumn(0, 2);
    EXPECT_EQ(grid.Columns()[2].Color(), QColor(Qt::red));
    EXPECT_EQ(grid.ColWidths(2), 70);
    EXPECT_EQ(grid.Columns()[2].Caption(), "A");
    EXPECT_EQ(grid.Cells(2, 2), "a");
    EXPECT_EQ(grid.Cells(1, 0), "C");
}

// ---- Editors --------------------------------------------------------------------------------

TEST(CellEditor, OneEditorServesSeveralColumnsOfOneGridOnly)
{
    TColumnGrid first, second;
    first.setObjectName(QStringLiteral("SortGrid1"));
    second.setObjectName(QStringLiteral("SortGrid2"));
    TestEditor editor("TimeEditor"), other("OtherEditor");

    first.Columns()[1].SetEditor(&editor);
    first.Columns()[2].SetEditor(&editor);
    first.Columns()[2].SetEditor(&editor); // the same again: nothing
    EXPECT_EQ(editor.Grid(), &first);
    EXPECT_EQ(editor.RefCount(), 2);

    second.Columns()[0].SetEditor(&other);
    try {
        second.Columns()[0].SetEditor(&editor);
        FAIL() << "no error";
    } catch (const ECellEditorError& e) {
        EXPECT_STREQ(e.what(), "TimeEditor is allready assigned to SortGrid1");
    }
    EXPECT_EQ(second.Columns()[0].Editor(), &other) << "the column keeps its old editor";
    EXPECT_EQ(other.RefCount(), 1);
    EXPECT_EQ(editor.RefCount(), 2);

    first.Columns()[1].SetEditor(nullptr);
    EXPECT_EQ(editor.Grid(), &first);
    first.Columns()[2].SetEditor(nullptr);
    EXPECT_EQ(editor.RefCount(), 0);
    EXPECT_EQ(editor.Grid(), nullptr);
    second.Columns()[0].SetEditor(&editor);
    EXPECT_EQ(editor.Grid(), &second);
    EXPECT_EQ(other.RefCount(), 0);
    EXPECT_EQ(other.Grid(), nullptr);
}

TEST(CellEditor, DestroyingAnEditorClearsTheColumnsThatNameIt)
{
    TColumnGrid grid;
    auto editor = std::make_unique<TestEditor>("Editor1");
    grid.Columns()[0].SetEditor(editor.get());
    grid.Columns()[3].SetEditor(editor.get());
    editor.reset();
    EXPECT_EQ(grid.Columns()[0].Editor(), nullptr);
    EXPECT_EQ(grid.Columns()[3].Editor(), nullptr);
}

TEST(CellEditor, FreedColumnsAndADestroyedGridLetGoOfTheirEditors)
{
    int closings = 0;
    TestEditor editor("Editor1", &closings);
    {
        TColumnGrid grid;
        grid.Columns()[4].SetEditor(&editor);
        grid.SetColCount(4);
        EXPECT_EQ(editor.RefCount(), 0) << "the freed column detached it";
        grid.Columns()[1].SetEditor(&editor);
        grid.Columns()[2].SetEditor(&editor);
    }
    EXPECT_EQ(closings, 2) << "once per column that names it";
    EXPECT_EQ(editor.RefCount(), 0);
    EXPECT_EQ(editor.Grid(), nullptr);
}

TEST(CellEditor, GridStartsTheColumnsEditorButNeverItsOwn)
{
    TColumnGrid grid;
    grid.resize(400, 200);
    grid.SetOptions(grid.Options() | goEditing);
    TestEditor editor("Editor1");
    grid.Columns()[2].SetEditor(&editor);
    grid.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid));
    grid.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&grid));

    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.CellRect(2, 3).center());
    ASSERT_TRUE(grid.hasFocus());
    EXPECT_EQ(grid.Col(), 2);
    EXPECT_EQ(grid.Row(), 3);
    EXPECT_EQ(editor.begun, 1);
    EXPECT_EQ(grid.ActiveEditor(), &editor);
    EXPECT_EQ(grid.EditCol(), 2);
    EXPECT_EQ(grid.EditRow(), 3);
    EXPECT_EQ(editor.shownAt, grid.CellRect(2, 3));

    std::string edited;
    grid.OnSetEditText = [&](TColumnGrid&, int col, int row, const std::string& text) {
        edited = std::to_string(col) + "," + std::to_string(row) + ":" + text;
    };
    editor.SetCellText("07:30:00");
    EXPECT_EQ(grid.Cells(2, 3), "07:30:00");
    EXPECT_EQ(edited, "2,3:07:30:00");

    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.CellRect(1, 3).center());
    QTest::keyClick(&grid, Qt::Key_F2);
    EXPECT_FALSE(grid.CanEditShow());
    EXPECT_EQ(editor.begun, 1) << "column 1 has no editor";
    EXPECT_TRUE(grid.findChildren<QLineEdit*>().isEmpty());
}
