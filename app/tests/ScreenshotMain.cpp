// Takes the pictures of the documentation from the real windows: the main window after a
// download of three typed entries to the controller simulator, and the entry editor.
// Usage: movarth-screenshot <output folder> <controller simulator>
#include "app/Application.h"
#include "app/Frm_edit.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "controls/Fonts.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

int main(int argc, char** argv)
{
    using namespace movarth;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> <controller simulator>\n", argv[0]);
        return 2;
    }
    QTemporaryDir settings;
    qputenv("MOVARTH_SETTINGS_DIR", settings.path().toUtf8());
    TApplication app(argc, argv);
    InstallCjkFallbacks();
    const QDir out(QString::fromLocal8Bit(argv[1]));

    QProcess sim;
    sim.start(QString::fromLocal8Bit(argv[2]), {QStringLiteral("--timeout"), QStringLiteral("60")});
    if (!sim.waitForStarted(5000) || !QTest::qWaitFor([&] { return sim.canReadLine(); }, 10000)) {
        std::fprintf(stderr, "the controller simulator did not start\n");
        return 1;
    }
    const QString device = QString::fromUtf8(sim.readLine()).trimmed();

    TFrm_main main;
    SetErrorOperator(&main.Operator());
    TFrm_edit edit(main);
    main.SetEditor(&edit);
    main.show();
    const char* entries[][2] = {
        {"07:30:00", "00:30:00"}, {"12:00:00", "01:15:00"}, {"19:00:00", "00:45:00"}};
    for (const auto& entry : entries) {
        TypeTime(main.MaskEdit1, entry[0]);
        TypeTime(main.MaskEdit2, entry[1]);
        main.BitBtn1Click();
    }
    main.Edit1->setText(device);
    main.BitBtn2Click();
    main.BitBtn4Click();
    const bool sent = QTest::qWaitFor([&] { return !main.DownloadBusy(); }, 20000);
    const bool ticked =
        QTest::qWaitFor([&] { return main.Panel1->text().startsWith(QLatin1Char('2')); }, 3000);
    if (!sent || !ticked)
        std::fprintf(stderr, "the download or the clock did not finish in time\n");
    TypeTime(main.MaskEdit1, "21:00:00");
    TypeTime(main.MaskEdit2, "00:30:00");
    bool ok = main.grab().save(out.filePath(QStringLiteral("main-window.png")));

    main.SortGrid1->SetRow(2);
    main.SortGrid1DblClick();
    edit.SetItemIndex(0);
    ok = edit.grab().save(out.filePath(QStringLiteral("editor.png"))) && ok;

    SetErrorOperator(nullptr);
    sim.terminate();
    sim.waitForFinished(5000);
    return ok ? 0 : 1;
}
