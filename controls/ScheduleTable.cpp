#include "ScheduleTable.h"

#include "controls/Colors.h"
#include "controls/ColumnGrid.h"
#include "controls/Fonts.h"

namespace movarth {

void SetUpScheduleTable(TColumnGrid& grid)
{
    grid.SetColCount(3);
    grid.SetFixedCols(0);
    grid.SetFixedRows(1);
    grid.SetRowCount(2);
    grid.SetDefaultColWidth(120);
    grid.SetOptions(goFixedVertLine | goFixedHorzLine | goVertLine | goHorzLine | goRowSelect);
    grid.SetScrollBars(TScrollStyle::ssVertical);
    grid.SetFixedLineColor(clBlack);
    grid.SetMultiLine(false);
    grid.SetImmediateEditMode(false);
    const TFont font = SongTiFont(14);
    const char* const captions[] = {"开播时间", "节目长度", "结束时间"};
    for (int i = 0; i < grid.Columns().Count(); ++i) {
        TGridColumnItem& column = grid.Columns()[i];
        column.SetHeaderFont(font);
        column.SetFont(font);
        column.SetHeaderAlignment(TAlignment::taCenter);
        column.SetAlignment(TAlignment::taCenter);
        column.SetWidth(120);
        column.SetCaption(captions[i]);
    }
}

} // namespace movarth
