// One whole road on screen: entries typed, the port opened on the controller simulator's
// pseudo-terminal, send, the simulator receives the schedule, the gauge full, exit.
#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"

#include <QProcess>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace movarth {
namespace {

void Type(TMaskTimeField* field, const char* text)
{
    field->SetText("00:00:00");
    field->setCursorPosition(0);
    QTest::keyClicks(field, QString::fromUtf8(text));
}

TEST(Road, AWholeDownloadToTheControllerSimulator)
{
    TScopedSettingsDir dir;
    TScriptedOperator op;
    SetErrorOperator(&op);

    QProcess sim;
    // Without --once: a controller does not leave the line the moment it has answered.
    sim.start(QStringLiteral(MOVARTH_CONTROLLER_SIM),
              {QStringLiteral("--timeout"), QStringLiteral("120")});
    ASSERT_TRUE(sim.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim.canReadLine(); }, 10000));
    const QString device = QString::fromUtf8(sim.readLine()).trimmed();
    ASSERT_FALSE(device.isEmpty());

    {
        TFrm_main window(&op);
        Type(window.MaskEdit1, "20:00:00");
        Type(window.MaskEdit2, "00:45:00");
        window.BitBtn1->click();
        Type(window.MaskEdit1, "7:30:00");
        Type(window.MaskEdit3, "08:00:00");
        window.BitBtn1->click();
        Type(window.MaskEdit1, "23:30:00");
        Type(window.MaskEdit2, "01:00:00");
        window.BitBtn1->click();
        ASSERT_EQ(window.EntryCount(), 3);

        window.Edit1->setText(device);
        window.BitBtn2->click();
        ASSERT_TRUE(window.Comm1.IsOpen());

        window.BitBtn4->click();
        EXPECT_EQ(window.Label6->text(), QStringLiteral("正在和倒计时控制器取得通讯"));
        EXPECT_EQ(window.Gauge1->MaxValue(), 5);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window.DownloadBusy(); }, 30000));
        EXPECT_EQ(window.Label6->text(), QStringLiteral("所有条目顺利发送到倒计时控制器"))
            << sim.readAllStandardError().toStdString();
        EXPECT_EQ(window.Gauge1->Progress(), window.Gauge1->MaxValue());
        EXPECT_TRUE(op.calls.empty());

        QTimer::singleShot(0, [&] { window.BitBtn7->click(); });
        QTimer::singleShot(3000, [] { QCoreApplication::exit(-1); });
        EXPECT_EQ(QCoreApplication::exec(), 0);
    }

    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.exitCode(), 0);
    const QString schedule = QString::fromUtf8(sim.readAllStandardOutput());
    // The entries in table order: sorted by start time, with their lengths.
    const qsizetype first = schedule.indexOf(QStringLiteral("07:30:00"));
    const qsizetype second = schedule.indexOf(QStringLiteral("20:00:00"));
    const qsizetype third = schedule.indexOf(QStringLiteral("23:30:00"));
    EXPECT_TRUE(first >= 0 && first < second && second < third) << schedule.toStdString();
    EXPECT_TRUE(schedule.contains(QStringLiteral("00:45:00")));
    EXPECT_TRUE(schedule.contains(QStringLiteral("00:30:00")));
    SetErrorOperator(nullptr);
}

} // namespace
} // namespace movarth
