#pragma once

namespace movarth {

class TColumnGrid;

// Gives a grid the settings of the main window's schedule table: three centred columns of
// 120 pixels in "宋体" 14 px under one fixed header row, lines everywhere, whole-row selection,
// a vertical scroll bar only, black lines around the header.
void SetUpScheduleTable(TColumnGrid& grid);

} // namespace movarth
