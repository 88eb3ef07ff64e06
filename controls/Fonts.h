#pragma once

#include <QColor>
#include <QFont>

namespace movarth {

// A font together with its colour, as the controls carry them for header and data cells.
struct TFont
{
    QFont Face;
    QColor Color;

    bool operator==(const TFont&) const = default;
};

// Maps the Windows font names used by the windows ("宋体", "黑体", "MS Sans Serif") to fonts
// found on this system, so that their Chinese and Latin texts render with one face. Call once,
// after the application object exists and before the first window is built.
void InstallCjkFallbacks();

// A face by its Windows name with a character height in pixels.
QFont FontFace(const char* family, int pixelSize, bool bold = false);
// "宋体", the windows' own face.
QFont SongTi(int pixelSize, bool bold = false);

// "宋体" with a character height of the given pixel size, regular style, in the window text colour.
TFont SongTiFont(int pixelSize);

} // namespace movarth
