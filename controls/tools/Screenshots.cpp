// Renders the schedule table with a few entries and the gauge in each of its kinds, offscreen,
// into grid.png and gauge.png in the given folder.
#include "controls/Colors.h"
#include "controls/ColumnGrid.h"
#include "controls/Fonts.h"
#include "controls/ProgressGauge.h"
#include "controls/ScheduleTable.h"

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <cstdio>

using namespace movarth;

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InstallCjkFallbacks();
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));

    TColumnGrid grid;
    grid.resize(384, 249);
    SetUpScheduleTable(grid);
    const char* const headers[] = {"开始时间", "节目长度", "结束时间"};
    const char* const entries[][3] = {{"06:00:00", "00:30:00", "06:30:00"},
                                      {"07:00:00", "01:00:00", "08:00:00"},
                                      {"12:00:00", "00:45:00", "12:45:00"},
                                      {"19:00:00", "00:30:00", "19:30:00"}};
    grid.SetRowCount(1 + std::size(entries));
    for (int col = 0; col < 3; ++col) {
        grid.SetCells(col, 0, headers[col]);
        for (int row = 0; row < static_cast<int>(std::size(entries)); ++row)
            grid.SetCells(col, row + 1, entries[row][col]);
    }
    grid.SetRow(2);
    const bool gridSaved = grid.grab().save(out.filePath(QStringLiteral("grid.png")));

    QWidget panel;
    panel.setAutoFillBackground(true);
    auto* row = new QHBoxLayout(&panel);
    const struct
    {
        TGaugeKind kind;
        const char* name;
        int progress;
        QSize size;
    } kinds[] = {{TGaugeKind::gkText, "gkText", 37, {100, 100}},
                 {TGaugeKind::gkHorizontalBar, "gkHorizontalBar", 66, {209, 25}},
                 {TGaugeKind::gkVerticalBar, "gkVerticalBar", 40, {40, 100}},
                 {TGaugeKind::gkPie, "gkPie", 30, {100, 100}},
                 {TGaugeKind::gkNeedle, "gkNeedle", 75, {120, 70}}};
    for (const auto& k : kinds) {
        auto* cell = new QVBoxLayout;
        auto* gauge = new TGauge;
        gauge->setFixedSize(k.size);
        gauge->SetKind(k.kind);
        gauge->SetForeColor(clNavy);
        QFont face(QStringLiteral("MS Sans Serif"));
        face.setPixelSize(13);
        gauge->setFont(face);
        gauge->SetProgress(k.progress);
        cell->addWidget(gauge, 0, Qt::AlignHCenter | Qt::AlignBottom);
        cell->addWidget(new QLabel(QString::fromLatin1(k.name)), 0, Qt::AlignHCenter);
        row->addLayout(cell);
    }
    panel.adjustSize();
    const bool gaugeSaved = panel.grab().save(out.filePath(QStringLiteral("gauge.png")));

    if (!gridSaved || !gaugeSaved) {
        std::fprintf(stderr, "could not write the pictures into %s\n",
                     qPrintable(out.absolutePath()));
        return 1;
    }
    return 0;
}
