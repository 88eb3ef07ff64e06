#include "Fonts.h"

#include "controls/Colors.h"

namespace movarth {

void InstallCjkFallbacks()
{
    QFont::insertSubstitutions(
        QStringLiteral("宋体"),
        {QStringLiteral("SimSun"), QStringLiteral("NSimSun"), QStringLiteral("WenQuanYi Zen Hei"),
         QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Sans CJK SC")});
    QFont::insertSubstitutions(QStringLiteral("黑体"),
                               {QStringLiteral("SimHei"), QStringLiteral("WenQuanYi Zen Hei"),
                                QStringLiteral("Noto Sans CJK SC")});
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Microsoft Sans Serif"),
                                QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                                QStringLiteral("Noto Sans")});
}

QFont FontFace(const char* family, int pixelSize, bool bold)
{
    QFont face(QString::fromUtf8(family));
    face.setPixelSize(pixelSize);
    face.setBold(bold);
    return face;
}

QFont SongTi(int pixelSize, bool bold)
{
    return FontFace("宋体", pixelSize, bold);
}

TFont SongTiFont(int pixelSize)
{
    return {SongTi(pixelSize), clWindowText()};
}

} // namespace movarth
