// The box that 打开 shows when the port does not open, on the real window: the text it always
// had, and under it why, for each kind of failure made for real (a missing path, a port held
// by another process's lock file or flock, a regular file). That an ordinary user may not
// open a device is seen in the program run as one (WindowProcessTest.cpp).
#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "comm/PosixComm.h"
#include "tests/support/FakeSerialTree.h"
#include "tests/support/PortHolder.h"

#include <QSettings>
#include <QTest>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <pty.h>
#include <unistd.h>

namespace movarth {
namespace {

const QColor kRed{255, 0, 0};

class OpenFailureBox : public testing::Test
{
protected:
    OpenFailureBox()
    {
        SetErrorOperator(&op);
        window->PortList1->SetRoots(tree.Sys().string(), tree.Dev().string());
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    ~OpenFailureBox() override
    {
        SetErrorOperator(nullptr);
        ::close(slave);
        ::close(master);
    }

    // Types the name into the port field as the operator does, and presses 打开.
    void Open(const std::string& name)
    {
        window->Edit1->setFocus();
        QTest::keyClick(window->Edit1, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window->Edit1, Qt::Key_Delete);
        QTest::keyClicks(window->Edit1, QString::fromStdString(name));
        QTest::mouseClick(window->BitBtn2, Qt::LeftButton);
    }
    QString Stored() const
    {
        return QSettings(dir.File(), QSettings::IniFormat)
            .value(QStringLiteral("SoftWare/movarth/com"), QStringLiteral("<absent>"))
            .toString();
    }

    TScopedSettingsDir dir;
    TScriptedOperator op;
    test::TFakeSerialTree tree;
    std::unique_ptr<TFrm_main> window = std::make_unique<TFrm_main>(&op);
    int master = -1;
    int slave = -1;
};

TEST_F(OpenFailureBox, SaysWhyThePortDidNotOpenAndWhatToDo)
{
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string pty = ::ttyname(slave);
    const std::string lockFolder = DefaultLockDirectory();
    tree.AddUart("ttyS0", 4);
    tree.AddUart("ttyS1", 0);
    tree.AddFt232r();
    const std::string regular = dir.Path().toStdString() + "/today.qlx";
    std::ofstream(regular) << "08:30:00 00:45:30 09:15:30\r\n";
    const std::string missing = dir.Path().toStdString() + "/ttyUSB7";

    const struct
    {
        const char* situation;
        std::string name;
        bool holder;          // another process holds the port
        std::string lockFile; // by this lock file; by its flock when empty
        std::string detail;   // {pid}: the holder's
    } cases[] = {
        {"a path that does not exist", missing, false, "",
         "没有这个设备：" + missing +
             "。\n本机现有的串口：\nttyS0  内置串口 16550A\n"
             "ttyUSB0  FTDI FT232R USB UART（0403:6001，序列号 A6008isP）\n"
             "点端口栏右边的箭头（Alt+↓）可以从本机的串口中选择。"},
        {"a port that another program holds by its lock file", pty, true,
         lockFolder.empty() ? "" : lockFolder + "/" + LockFileName(pty),
         pty + " 正被另一个程序占用：ctl-holder（进程号 {pid}）。请先退出这个程序，再按“打开”。"},
        {"a port that another program holds by its flock", pty, true, "",
         pty + " 正被另一个程序占用：ctl-holder（进程号 {pid}）。请先退出这个程序，再按“打开”。"},
        {"a regular file", regular, false, "",
         regular +
             " 不是串口设备，而是普通文件。点端口栏右边的箭头（Alt+↓）可以从本机的串口中选择。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        std::unique_ptr<test::TPortHolderProcess> holder;
        if (c.holder) {
            holder = std::make_unique<test::TPortHolderProcess>(pty, c.lockFile);
            ASSERT_TRUE(holder->Ready());
        }
        const std::string detail = test::WithPid(c.detail, holder ? holder->Pid() : 0);
        op.calls.clear();
        Open(c.name);
        ASSERT_EQ(op.calls.size(), 1u);
        EXPECT_EQ(op.calls[0].kind, "message");
        EXPECT_EQ(op.calls[0].text, "端口打开有错误，请重新输入！");
        EXPECT_EQ(op.calls[0].detail, detail);
        // The rest of 打开's failure as before: red, closed, nothing stored.
        EXPECT_EQ(window->Shape1->BrushColor(), kRed);
        EXPECT_FALSE(window->Comm1.IsOpen());
        EXPECT_EQ(Stored(), QStringLiteral("<absent>"));
    }

    // Once the holders are gone, the port opens.
    op.calls.clear();
    Open(pty);
    EXPECT_TRUE(window->Comm1.IsOpen());
    EXPECT_TRUE(op.calls.empty());
    EXPECT_EQ(Stored().toStdString(), pty);
}

// Without a port on the machine the box says so, and where to look.
TEST_F(OpenFailureBox, WithNoPortAtAllSaysToCheckTheCable)
{
    Open("ttyMOVARTH9");
    ASSERT_EQ(op.Details().size(), 1u);
    EXPECT_EQ(op.Details()[0], "没有这个设备：/dev/ttyMOVARTH9。\n"
                               "本机没有找到串口，请检查串口线或 USB 串口适配器是否插好。");
}

} // namespace
} // namespace movarth
