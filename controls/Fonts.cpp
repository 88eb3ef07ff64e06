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

TFont SongTiFont(int pixelSize)
{
    QFont face(QStringLiteral("宋体"));
    face.setPixelSize(pixelSize);
    return {face, clWindowText()};
}

} // namespace movarth
