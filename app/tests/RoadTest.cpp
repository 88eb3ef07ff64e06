// One whole road on screen: entries typed, the port opened on the controller simulator's
// pseudo-terminal, send, the simulator receives the schedule, the gauge full, exit.
#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "link/tests/SimProcess.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace movarth {
namespace {

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
        TypeTime(window.MaskEdit1, "20:00:00");
        TypeTime(window.MaskEdit2, "00:45:00");
        window.BitBtn1->click();
        TypeTime(window.MaskEdit1, "7:30:00");
        TypeTime(window.MaskEdit3, "08:00:00");
        window.BitBtn1->click();
        TypeTime(window.MaskEdit1, "23:30:00");
        TypeTime(window.MaskEdit2, "01:00:00");
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

// The controller's line goes away under the open port (a USB adapter pulled out), first during a
// download, then while idle: the indicator turns red within a second without anyone pressing a
// button, and the same name opens the device again once it is back. The name is a link, as
// udev's /dev/serial/by-id names are, so that it can lead to the new pseudo-terminal.
TEST(Road, AControllerThatVanishesIsShownAtOnceAndComesBackUnderItsName)
{
    using namespace std::chrono_literals;
    const QColor red{255, 0, 0};
    TScopedSettingsDir dir;
    TScriptedOperator op;
    SetErrorOperator(&op);
    QTemporaryDir links;
    const std::string name = links.filePath(QStringLiteral("controller")).toStdString();
    const auto plugIn = [&](std::vector<std::string> options) {
        options.insert(options.end(), {"--timeout", "120"});
        auto sim = std::make_unique<test::TSimProcess>(options);
        ::unlink(name.c_str());
        EXPECT_EQ(::symlink(sim->DevicePath().c_str(), name.c_str()), 0);
        return sim;
    };
    // Waits for the red indicator; how long it took.
    const auto turnsRed = [](TFrm_main& window) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return window.Shape1->BrushColor() == QColor(255, 0, 0); }, 5000));
        return std::chrono::steady_clock::now() - start;
    };

    auto sim = plugIn({"--silent"});
    TFrm_main window(&op);
    TypeTime(window.MaskEdit1, "20:00:00");
    TypeTime(window.MaskEdit2, "00:45:00");
    window.BitBtn1->click();
    window.Edit1->setText(QString::fromStdString(name));
    window.BitBtn2->click();
    ASSERT_TRUE(window.Comm1.IsOpen());
    window.BitBtn4->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.Download().WaitTicks() >= 3; }, 5000));

    sim.reset(); // during the handshake
    EXPECT_LT(turnsRed(window), 1s);
    EXPECT_FALSE(window.Comm1.IsOpen());
    EXPECT_FALSE(window.DownloadBusy());
    EXPECT_EQ(window.Label6->text(), QStringLiteral("计算机和倒计时控制器未取得联系，请检查"));
    // Whichever noticed first, the handshake's write or the line's hang-up, tells it once.
    EXPECT_THAT(op.Messages(), ::testing::ElementsAre(::testing::HasSubstr("(Error: 5)")));

    op.calls.clear();
    sim = plugIn({});
    window.BitBtn2->click();
    ASSERT_TRUE(window.Comm1.IsOpen());
    EXPECT_EQ(window.Shape1->BrushColor(), QColor(0, 128, 0));
    window.BitBtn4->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.DownloadBusy(); }, 30000));
    EXPECT_EQ(window.Label6->text(), QStringLiteral("所有条目顺利发送到倒计时控制器"));

    sim.reset(); // while idle: no box
    EXPECT_LT(turnsRed(window), 1s);
    EXPECT_FALSE(window.Comm1.IsOpen());
    EXPECT_TRUE(op.calls.empty());
    EXPECT_EQ(window.Shape1->BrushColor(), red);
    SetErrorOperator(nullptr);
}

} // namespace
} // namespace movarth
