#include "app/Application.h"
#include "app/Frm_edit.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"

#include <QCloseEvent>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <ctime>
#include <gmock/gmock.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace movarth {
namespace {

const QColor kGreen{0, 128, 0};
const QColor kRed{255, 0, 0};

QString Stored(const TScopedSettingsDir& dir, const char* name)
{
    return QSettings(dir.File(), QSettings::IniFormat)
        .value(QStringLiteral("SoftWare/movarth/") + name, QStringLiteral("<absent>"))
        .toString();
}

void Store(const TScopedSettingsDir& dir, const char* name, const QVariant& value)
{
    QSettings(dir.File(), QSettings::IniFormat)
        .setValue(QStringLiteral("SoftWare/movarth/") + name, value);
}

std::vector<std::string> Column(const TFrm_main& window, int col)
{
    std::vector<std::string> texts;
    for (int row = 1; row < window.SortGrid1->RowCount(); ++row)
        texts.push_back(window.SortGrid1->Cells(col, row));
    return texts;
}

// Runs the event loop around `action` and reports how it ended: 0 when the program was
// asked to end, -1 when it still ran after the time.
int ExitCodeOf(const std::function<void()>& action, int waitMs = 1500)
{
    QTimer::singleShot(0, action);
    QTimer::singleShot(waitMs, [] { QCoreApplication::exit(-1); });
    return QCoreApplication::exec();
}

class MainWindow : public testing::Test
{
protected:
    MainWindow() { SetErrorOperator(&op); }
    ~MainWindow() override { SetErrorOperator(nullptr); }

    std::unique_ptr<TFrm_main> Start() { return std::make_unique<TFrm_main>(&op); }

    TScopedSettingsDir dir;
    TScriptedOperator op;
};

TEST_F(MainWindow, FirstStartWritesTheMakerValuesAndKeepsCom1)
{
    auto window = Start();
    EXPECT_EQ(window->Edit1->text(), QStringLiteral("Com1"));
    EXPECT_NE(Stored(dir, "company"), QStringLiteral("<absent>"));
    EXPECT_NE(Stored(dir, "maker"), QStringLiteral("<absent>"));
    EXPECT_NE(Stored(dir, "phone"), QStringLiteral("<absent>"));
    EXPECT_EQ(Stored(dir, "com"), QStringLiteral("<absent>"));
    EXPECT_TRUE(op.calls.empty());

    EXPECT_EQ(window->Panel1->text(), QStringLiteral("0000-00-00 00:00:00"));
    EXPECT_EQ(window->SortGrid1->Cells(0, 0), "开始时间");
    EXPECT_EQ(window->SortGrid1->Cells(1, 0), "节目长度");
    EXPECT_EQ(window->SortGrid1->Cells(2, 0), "结束时间");
    EXPECT_EQ(window->SortGrid1->RowCount(), 2);
    EXPECT_EQ(window->EntryCount(), 0);
    EXPECT_TRUE(window->Download().LinkStopped());
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有0条记录"));
    const TZelTimedThreads& items = window->ZelMultiThreader1.Threads();
    ASSERT_EQ(items.Count(), 3);
    EXPECT_TRUE(items[0].Enabled());
    EXPECT_FALSE(items[1].Enabled());
    EXPECT_FALSE(items[2].Enabled());
    EXPECT_EQ(items[1].Interval(), 50);
    EXPECT_EQ(items[2].Interval(), 50);
    EXPECT_EQ(window->Shape1->BrushColor(), kRed);
    EXPECT_FALSE(window->Comm1.IsOpen());
    EXPECT_EQ(window->Comm1.BaudRate(), br2400);
}

TEST_F(MainWindow, LayoutIsFixedWithoutACloseBox)
{
    auto window = Start();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Sorvane V2013.01"));
    EXPECT_EQ(window->size(), QSize(815, 476));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    // A caption without buttons.
    for (const Qt::WindowType button :
         {Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint})
        EXPECT_FALSE(window->windowFlags().testFlag(button)) << button;
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::CustomizeWindowHint));
    EXPECT_EQ(window->SortGrid1->geometry(), QRect(384, 184, 384, 249));
    EXPECT_EQ(window->BitBtn7->geometry(), QRect(136, 400, 75, 25));
    EXPECT_EQ(window->BitBtn7->text(), QStringLiteral("退出系统"));
    EXPECT_EQ(window->MaskEdit3->geometry(), QRect(576, 96, 81, 24));
    QStringList menu;
    for (QAction* action : window->PopupMenu1->actions())
        menu << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(menu, (QStringList{"调出(&O)", "保存(&S)", "-", "删除(&D)", "插入(&I)", "清除(&C)"}));
    EXPECT_FALSE(window->N2->isVisible());
    // Focus order from the add button through the three time fields.
    QWidget* expected[] = {window->BitBtn1,   window->Edit1,     window->BitBtn2,
                           window->BitBtn3,   window->BitBtn4,   window->BitBtn5,
                           window->BitBtn6,   window->BitBtn7,   window->SortGrid1,
                           window->MaskEdit1, window->MaskEdit2, window->MaskEdit3};
    auto nextTabStop = [](QWidget* widget) {
        do
            widget = widget->nextInFocusChain();
        while ((widget->focusPolicy() & Qt::TabFocus) == 0);
        return widget;
    };
    for (std::size_t i = 1; i < std::size(expected); ++i)
        EXPECT_EQ(nextTabStop(expected[i - 1]), expected[i]) << i;
}

TEST_F(MainWindow, AStoredPortNameFillsThePortField)
{
    for (const char* name : {"/dev/ttyUSB3", ""}) {
        Store(dir, "com", QString::fromUtf8(name));
        auto window = Start();
        EXPECT_EQ(window->Edit1->text().toStdString(), name);
        EXPECT_TRUE(op.calls.empty());
    }
}

// The box is shown and the settings end at the failing value; the rest of the start-up goes
// on, so that the table has its captions and the clock runs.
TEST_F(MainWindow, ASettingsFailureIsShownAndTheStartUpGoesOn)
{
    struct TCase
    {
        const char* message;
        bool writable;
    } cases[] = {{"Failed to set data for 'company'", false},
                 {"Invalid data type for 'com'", true}};
    for (const TCase& c : cases) {
        TScopedSettingsDir scratch;
        if (c.writable) {
            Store(scratch, "com", QStringList{"COM1", "COM2"});
        } else {
            QFile blocker(scratch.Path() + QStringLiteral("/file"));
            ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
            TScopedSettingsDir::Use(blocker.fileName() + QStringLiteral("/below"));
        }
        op.calls.clear();
        auto window = Start();
        EXPECT_EQ(op.Messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(window->Edit1->text(), QStringLiteral("Com1"));
        EXPECT_EQ(window->SortGrid1->Cells(0, 0), "开始时间");
        EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有0条记录"));
        EXPECT_TRUE(window->Download().LinkStopped());
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return window->Panel1->text() != QStringLiteral("0000-00-00 00:00:00"); }, 5000))
            << c.message << ": the clock runs";
    }
}

// A settings file of other bytes (a damaged disk) is set aside as it was and a fresh one is
// started: no box, and the start-up goes through.
TEST_F(MainWindow, AnUnreadableSettingsFileIsSetAsideAndTheStartUpGoesOn)
{
    const QByteArray damaged("\x89PNG\r\n\x1a\n\x00\x01 not a settings line\n[com", 29);
    {
        QFile file(dir.File());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damaged);
    }
    auto window = Start();
    EXPECT_TRUE(op.calls.empty());
    EXPECT_EQ(window->SortGrid1->Cells(0, 0), "开始时间");
    EXPECT_TRUE(window->ZelMultiThreader1.Threads()[0].Enabled());
    EXPECT_NE(Stored(dir, "company"), QStringLiteral("<absent>"));

    const QStringList aside =
        QDir(dir.Path()).entryList({QStringLiteral("movarth.conf.unreadable-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(QDir(dir.Path()).filePath(aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), damaged);
}

// What stands in the settings file's place but is no regular file of a sane size is not read
// at all (a FIFO would hang the start before the window appears, a link to /dev/zero or a
// huge file would fill the memory): it is moved aside as it is, and the start-up goes on.
TEST_F(MainWindow, ASettingsFileThatIsNoSaneRegularFileIsMovedAsideUnread)
{
    const struct
    {
        const char* name;
        std::function<bool(const QByteArray& path)> make;
    } cases[] = {
        // First: should the check ever go, this one hangs (and fails at the test's timeout)
        // before the link to /dev/zero can eat the machine's memory.
        {"a FIFO", [](const QByteArray& path) { return ::mkfifo(path.constData(), 0600) == 0; }},
        {"a file of 190 MB (sparse)",
         [](const QByteArray& path) {
             const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
             const bool made = fd >= 0 && ::ftruncate(fd, 190'000'000) == 0;
             if (fd >= 0) ::close(fd);
             return made;
         }},
        {"a link to /dev/zero",
         [](const QByteArray& path) { return ::symlink("/dev/zero", path.constData()) == 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TScopedSettingsDir scratch;
        const QByteArray path = QFile::encodeName(scratch.File());
        ASSERT_TRUE(c.make(path));
        struct stat found
        {
        };
        ASSERT_EQ(::lstat(path.constData(), &found), 0);
        op.calls.clear();

        auto window = Start();
        EXPECT_TRUE(op.calls.empty());
        EXPECT_TRUE(window->ZelMultiThreader1.Threads()[0].Enabled()) << "the start-up went on";
        EXPECT_NE(Stored(scratch, "company"), QStringLiteral("<absent>"));
        const QStringList aside = QDir(scratch.Path())
                                      .entryList({QStringLiteral("movarth.conf.unreadable-*")},
                                                 QDir::AllEntries | QDir::System);
        ASSERT_EQ(aside.size(), 1);
        struct stat moved
        {
        };
        ASSERT_EQ(
            ::lstat(QFile::encodeName(QDir(scratch.Path()).filePath(aside.first())).constData(),
                    &moved),
            0);
        EXPECT_EQ(moved.st_ino, found.st_ino) << "moved, not copied";
    }
}

TEST_F(MainWindow, TheClockShowsDateTwoBlanksAndTime)
{
    auto window = Start();
    const QRegularExpression format(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2})  \\d{2}:\\d{2}:\\d{2}$"));
    const QString before = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    window->ZelMultiThreader1Threads0Timer(window->ZelMultiThreader1.Threads()[0]);
    const auto match = format.match(window->Panel1->text());
    ASSERT_TRUE(match.hasMatch()) << window->Panel1->text().toStdString();
    const QString after = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    EXPECT_TRUE(match.captured(1) == before || match.captured(1) == after);

    // And the running clock item replaces the text on its own.
    window->Panel1->setText(QString());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->Panel1->text().isEmpty(); }, 5000));
    EXPECT_TRUE(format.match(window->Panel1->text()).hasMatch());
}

TEST_F(MainWindow, AddDeleteAndClearThroughTheWindow)
{
    auto window = Start();
    TypeTime(window->MaskEdit1, "10:00:00");
    TypeTime(window->MaskEdit2, "01:00:00");
    window->BitBtn1->click();
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有1条记录"));
    EXPECT_EQ(Column(*window, 2), std::vector<std::string>{"11:00:00"});
    for (TMaskTimeField* field : {window->MaskEdit1, window->MaskEdit2, window->MaskEdit3})
        EXPECT_EQ(field->Text(), "00:00:00");

    TypeTime(window->MaskEdit1, "8:30:00"); // the hour typed with one digit
    TypeTime(window->MaskEdit3, "09:00:00");
    window->BitBtn1->click();
    EXPECT_EQ(Column(*window, 0), (std::vector<std::string>{"08:30:00", "10:00:00"}));
    EXPECT_EQ(Column(*window, 1), (std::vector<std::string>{"00:30:00", "01:00:00"}));

    TypeTime(window->MaskEdit1, "24:00:00");
    TypeTime(window->MaskEdit2, "01:00:00");
    window->BitBtn1->click();
    EXPECT_EQ(op.Messages(), std::vector<std::string>{"开播时间输入条目有错误，请检查！"});
    EXPECT_EQ(window->MaskEdit1->Text(), "24:00:00");
    EXPECT_EQ(window->EntryCount(), 2);

    window->SortGrid1->SetRow(1);
    window->D1->trigger();
    EXPECT_EQ(Column(*window, 0), std::vector<std::string>{"10:00:00"});
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有1条记录"));

    window->N4->trigger();
    EXPECT_EQ(window->EntryCount(), 0);
    EXPECT_EQ(window->SortGrid1->RowCount(), 2);
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有0条记录"));
}

TEST_F(MainWindow, TheExitButtonEndsTheProgramAtOnce)
{
    auto window = Start();
    EXPECT_EQ(ExitCodeOf([&] { window->BitBtn7->click(); }), 0);
    EXPECT_TRUE(op.calls.empty());
}

class PortSelection : public MainWindow
{
protected:
    void Open(const std::string& name)
    {
        window->Edit1->setText(QString::fromStdString(name));
        window->BitBtn2->click();
    }

    TPseudoTerminal pty;
    std::unique_ptr<TFrm_main> window = Start();
};

TEST_F(PortSelection, AWorkingNameTurnsGreenAndIsRemembered)
{
    ASSERT_TRUE(pty.Ok());
    Open(pty.SlaveName());
    EXPECT_TRUE(window->Comm1.IsOpen());
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
    EXPECT_EQ(Stored(dir, "com").toStdString(), pty.SlaveName());
    EXPECT_TRUE(op.calls.empty());

    // The same name again: the port stays open as it is, the value is written again.
    const TCommHandle handle = window->Comm1.Handle();
    Store(dir, "com", QStringLiteral("overwritten"));
    Open(pty.SlaveName());
    EXPECT_EQ(window->Comm1.Handle(), handle);
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
    EXPECT_EQ(Stored(dir, "com").toStdString(), pty.SlaveName());
}

TEST_F(PortSelection, ABadNameTurnsRedClosesThePortAndKeepsTheRememberedName)
{
    ASSERT_TRUE(pty.Ok());
    Open(pty.SlaveName());
    for (const char* bad : {"/dev/movarth-no-such-port", ""}) {
        op.calls.clear();
        Open(bad);
        EXPECT_EQ(op.Messages(), std::vector<std::string>{"端口打开有错误，请重新输入！"});
        EXPECT_EQ(window->Shape1->BrushColor(), kRed);
        EXPECT_FALSE(window->Comm1.IsOpen());
        EXPECT_EQ(Stored(dir, "com").toStdString(), pty.SlaveName());
    }
}

// /dev/null is a character device that takes no line settings: the opening fails after the
// device was opened. Red then means the port holds nothing, so the same name is tried again.
TEST_F(PortSelection, AnOpeningThatFailsPartWayHoldsNothing)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        op.calls.clear();
        Open("/dev/null");
        EXPECT_EQ(op.Messages(), std::vector<std::string>{"端口打开有错误，请重新输入！"});
        EXPECT_EQ(window->Shape1->BrushColor(), kRed);
        EXPECT_FALSE(window->Comm1.IsOpen());
        EXPECT_EQ(Stored(dir, "com"), QStringLiteral("<absent>"));
    }
}

TEST_F(PortSelection, ANameDifferingInLetterCaseReopens)
{
    ASSERT_TRUE(pty.Ok());
    // Two names for one device that differ only by letter case.
    const std::string lower = dir.Path().toStdString() + "/ttyctl";
    const std::string upper = dir.Path().toStdString() + "/TTYCTL";
    ASSERT_EQ(symlink(pty.SlaveName().c_str(), lower.c_str()), 0);
    ASSERT_EQ(symlink(pty.SlaveName().c_str(), upper.c_str()), 0);
    Open(lower);
    ASSERT_TRUE(window->Comm1.IsOpen());
    Open(upper);
    EXPECT_TRUE(window->Comm1.IsOpen());
    EXPECT_EQ(window->Comm1.DeviceName(), upper); // renamed, so it was closed first
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
    EXPECT_EQ(Stored(dir, "com").toStdString(), upper);
    EXPECT_TRUE(op.calls.empty());
}

// During a download, in its handshake and between its frames, every command of the window
// does nothing and shows nothing.
TEST_F(PortSelection, EveryCommandWaitsForTheDownload)
{
    ASSERT_TRUE(pty.Ok());
    // Shown and active, so that the keys reach the window as the operator's do.
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    Open(pty.SlaveName());
    TypeTime(window->MaskEdit1, "08:00:00");
    TypeTime(window->MaskEdit2, "00:30:00");
    window->BitBtn1->click();
    window->BitBtn4->click();
    ASSERT_TRUE(window->DownloadBusy());
    const auto key = [&](QWidget* widget, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        widget->setFocus();
        QTest::keyClick(widget, key, modifiers);
    };

    const struct
    {
        const char* name;
        std::function<void()> command;
    } commands[] = {
        {"add", [&] { window->BitBtn1->click(); }},
        {"open", [&] { window->BitBtn2->click(); }},
        {"save", [&] { window->BitBtn3->click(); }},
        {"save menu", [&] { window->S1->trigger(); }},
        {"send", [&] { window->BitBtn4->click(); }},
        {"load", [&] { window->BitBtn5->click(); }},
        {"load menu", [&] { window->O1->trigger(); }},
        {"clear", [&] { window->BitBtn6->click(); }},
        {"clear menu", [&] { window->N4->trigger(); }},
        {"delete", [&] { window->D1->trigger(); }},
        {"insert", [&] { window->N2->trigger(); }},
        {"Enter in the end field", [&] { key(window->MaskEdit3, Qt::Key_Return); }},
        {"Enter on the add button", [&] { key(window->BitBtn1, Qt::Key_Return); }},
        {"Delete in the table", [&] { key(window->SortGrid1, Qt::Key_Delete); }},
        {"Ctrl+S", [&] { key(window->SortGrid1, Qt::Key_S, Qt::ControlModifier); }},
        {"Ctrl+O", [&] { key(window->MaskEdit2, Qt::Key_O, Qt::ControlModifier); }},
    };
    auto checkAll = [&](const char* phase) {
        for (const auto& c : commands) {
            TypeTime(window->MaskEdit1, "09:00:00");
            TypeTime(window->MaskEdit2, "00:10:00");
            window->Edit1->setText(QStringLiteral("/dev/movarth-no-such-port"));
            window->SortGrid1->SetRow(1);
            c.command();
            EXPECT_TRUE(op.calls.empty()) << phase << " " << c.name;
            EXPECT_EQ(window->EntryCount(), 1) << phase << " " << c.name;
            EXPECT_EQ(Column(*window, 0), std::vector<std::string>{"08:00:00"}) << c.name;
            EXPECT_EQ(window->MaskEdit1->Text(), "09:00:00") << phase << " " << c.name;
            EXPECT_TRUE(window->Comm1.IsOpen()) << phase << " " << c.name;
            EXPECT_EQ(window->Shape1->BrushColor(), kGreen) << phase << " " << c.name;
        }
        EXPECT_EQ(ExitCodeOf([&] { window->BitBtn7->click(); }, 300), -1) << phase;
        EXPECT_TRUE(window->DownloadBusy()) << phase;
    };
    checkAll("handshake");
    EXPECT_EQ(window->Download().LinkState(), 1);

    // Acknowledge the handshake: the first frame goes out and item 2 waits for its answer.
    ASSERT_FALSE(pty.Read(1, 2000).empty());
    pty.Write(0x55);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Download().LinkState() == 2; }, 3000));
    ASSERT_TRUE(window->ZelMultiThreader1.Threads()[2].Enabled());
    checkAll("frames");

    // Only the editor still opens.
    TFrm_edit edit(*window, &op);
    window->SetEditor(&edit);
    window->SortGrid1->SetRow(1);
    window->SortGrid1DblClick();
    EXPECT_TRUE(edit.isVisible());
    EXPECT_EQ(edit.MaskEdit1->Text(), "08:00:00");
    window->SetEditor(nullptr);
}

// The window on a port whose other end the test plays as the controller.
class WindowDownload : public PortSelection
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        Open(pty.SlaveName());
        ASSERT_TRUE(window->Comm1.IsOpen());
    }

    void AddEntry(const char* start, const char* length)
    {
        TypeTime(window->MaskEdit1, start);
        TypeTime(window->MaskEdit2, length);
        window->BitBtn1->click();
    }
    // The bytes that reach the controller's end within the time, at most `count`. The window's
    // events are served meanwhile: its ticks and replies run on this thread.
    std::string Receive(std::size_t count, int timeoutMs = 2000)
    {
        std::string bytes;
        (void)QTest::qWaitFor(
            [&] {
                bytes += pty.Read(count - bytes.size(), 0);
                return bytes.size() >= count;
            },
            timeoutMs);
        return bytes;
    }
    // Send; the controller acknowledges the handshake: frame 1 is on its way.
    void StartAndShake()
    {
        window->BitBtn4->click();
        ASSERT_EQ(Receive(1), "\x55");
        pty.Write(0x55);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->Download().LinkState() == 2; }, 3000));
    }
    // The next frame that arrives (handshake bytes sent before the acknowledgement was read
    // are skipped); empty when none came.
    std::string ReadFrame()
    {
        std::string frame;
        while (frame.empty()) {
            frame = Receive(1);
            if (frame.empty()) return {};
            if (frame == "\x55") frame.clear();
        }
        return frame + Receive(7);
    }
    // The controller acknowledges the frames and the confirmation: the download is confirmed.
    void AcknowledgeTheRest()
    {
        for (int k = 0; k <= window->EntryCount(); ++k) {
            ASSERT_EQ(ReadFrame().size(), 8u) << k;
            pty.Write(0x55);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window->DownloadBusy(); }, 3000));
        ASSERT_EQ(window->Label6->text().toStdString(), kSuccessCaption);
    }
    void Confirm()
    {
        StartAndShake();
        AcknowledgeTheRest();
    }
    // Label6's tooltip as the mouse resting on it brings it up.
    std::string ToolTip()
    {
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), window->Label6->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(window->Label6, &help);
        QToolTip::hideText();
        return window->Label6->toolTip().toStdString();
    }
    // A close request as the window system makes it (the close box, Alt+F4, the window
    // manager): to the window, which hands it on to the widget as a spontaneous close event.
    void RequestClose()
    {
        QCloseEvent close;
        QApplication::sendEvent(window->windowHandle(), &close);
    }
};

// While a download runs, a close request from the window system is refused as the exit button
// is (nothing happens, nothing is shown); once it has ended, the window closes as before.
TEST_F(WindowDownload, ACloseRequestWaitsForTheDownload)
{
    AddEntry("08:00:00", "00:30:00");
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->BitBtn4->click();
    EXPECT_EQ(ExitCodeOf([&] { RequestClose(); }, 300), -1) << "in the handshake";
    EXPECT_TRUE(window->isVisible());
    pty.Write(0x55);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Download().LinkState() == 2; }, 3000));
    EXPECT_EQ(ExitCodeOf([&] { RequestClose(); }, 300), -1) << "between the frames";
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(op.calls.empty());

    AcknowledgeTheRest();
    EXPECT_EQ(ExitCodeOf([&] { RequestClose(); }), 0);
    EXPECT_FALSE(window->isVisible());
}

// The program's own end (as a signal handler or the end of a session asks for it) is never
// held up by a download.
TEST_F(WindowDownload, TheProgramsOwnQuitEndsItDuringADownload)
{
    AddEntry("08:00:00", "00:30:00");
    window->show();
    window->BitBtn4->click();
    ASSERT_TRUE(window->DownloadBusy());
    EXPECT_EQ(ExitCodeOf([] { QCoreApplication::quit(); }), 0);
}

// The frames were built when the download began: an edit confirmed meanwhile would not reach
// the controller. The editor still opens; its confirm changes nothing until the end.
TEST_F(WindowDownload, TheEditorsConfirmWaitsForTheEndOfTheDownload)
{
    TFrm_edit edit(*window, &op);
    window->SetEditor(&edit);
    AddEntry("08:00:00", "00:30:00");
    AddEntry("09:00:00", "00:30:00");
    window->show();
    StartAndShake();

    const QPoint row1 = window->SortGrid1->CellRect(0, 1).center();
    QTest::mouseDClick(window->SortGrid1->viewport(), Qt::LeftButton, {}, row1);
    ASSERT_TRUE(edit.isVisible());
    TypeTime(edit.MaskEdit1, "10:00:00");
    QTest::mouseClick(edit.BitBtn1, Qt::LeftButton);
    EXPECT_TRUE(edit.isVisible());
    EXPECT_EQ(edit.MaskEdit1->Text(), "10:00:00");
    EXPECT_EQ(edit.MaskEdit3->Text(), "08:30:00");
    EXPECT_EQ(Column(*window, 0), (std::vector<std::string>{"08:00:00", "09:00:00"}));
    EXPECT_TRUE(op.calls.empty());

    AcknowledgeTheRest();
    QTest::mouseClick(edit.BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Column(*window, 0), (std::vector<std::string>{"09:00:00", "10:00:00"}));
    // The table is no longer what the controller holds.
    EXPECT_EQ(window->Label6->text().toStdString(), kIdleCaption);
    EXPECT_EQ(window->Gauge1->Progress(), 0);
    window->SetEditor(nullptr);
}

// After a confirmed download, the first change of the table puts the status line and the
// gauge back as before any download; choosing another row changes nothing.
TEST_F(WindowDownload, TheFirstTableChangeAfterAConfirmationResetsTheStatusLine)
{
    QTemporaryDir files;
    const QString file = files.filePath(QStringLiteral("other.qlx"));
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("07:00:00 00:30:00 07:30:00\r\n");
    }
    const struct
    {
        const char* name;
        std::function<void()> change;
    } changes[] = {
        {"add", [&] { AddEntry("23:00:00", "00:10:00"); }},
        {"insert", [&] { window->N2->trigger(); }},
        {"delete", [&] { window->D1->trigger(); }},
        {"clear", [&] { window->BitBtn6->click(); }},
        {"load",
         [&] {
             op.files.push_back(file.toStdString());
             window->BitBtn5->click();
         }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        if (window->EntryCount() < 2) AddEntry("08:00:00", "00:30:00");
        if (window->EntryCount() < 2) AddEntry("09:00:00", "00:30:00");
        Confirm();
        window->SortGrid1->SetRow(2);
        window->SortGrid1->SetRow(1);
        EXPECT_EQ(window->Label6->text().toStdString(), kSuccessCaption);
        EXPECT_EQ(window->Gauge1->Progress(), window->Gauge1->MaxValue());

        c.change();
        EXPECT_EQ(window->Label6->text().toStdString(), kIdleCaption);
        EXPECT_EQ(window->Gauge1->Progress(), 0);
        EXPECT_TRUE(op.Messages().empty());
    }
}

// Every download of the window is a line of the send history: confirmed, failed (an unknown
// answer, which now ends with the failure caption), refused before sending (a loaded row that
// is no time of day). The status line's tooltip tells the last confirmation, also one that
// movarth-send had.
TEST_F(WindowDownload, EveryDownloadIsRecordedAndTheToolTipTellsTheLastConfirmation)
{
    EXPECT_EQ(ToolTip(), "还没有倒计时控制器确认接收条目的记录");
    AddEntry("08:00:00", "00:30:00");
    Confirm();
    EXPECT_THAT(ToolTip(),
                ::testing::MatchesRegex(
                    "倒计时控制器最近一次确认接收：20[0-9][0-9]-[0-9-]+ [0-9:]+，通讯端口 " +
                    pty.SlaveName() + "，共1组条目"));

    StartAndShake();
    ASSERT_EQ(ReadFrame().size(), 8u);
    pty.Write(0x00);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->DownloadBusy(); }, 3000));
    EXPECT_EQ(window->Label6->text().toStdString(), kNoContactCaption);
    EXPECT_EQ(window->Gauge1->Progress(), 2) << "where it stood";

    QTemporaryDir files;
    const std::string file = files.filePath(QStringLiteral("late.qlx")).toStdString();
    {
        QFile out(QString::fromStdString(file));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("08:00:00 00:30:00 08:30:00\r\n25:00:00 00:30:00 01:30:00\r\n");
    }
    op.files.push_back(file);
    window->BitBtn5->click();
    ASSERT_EQ(window->EntryCount(), 2) << "a file loads leniently";
    const QString caption = window->Label6->text();
    const int progress = window->Gauge1->Progress();
    window->BitBtn4->click();
    EXPECT_EQ(op.Messages(), std::vector<std::string>{"'25:00:00' is not a valid time"});
    EXPECT_FALSE(window->DownloadBusy());
    EXPECT_EQ(Receive(1, 300), "") << "nothing was sent";
    EXPECT_EQ(window->Label6->text(), caption);
    EXPECT_EQ(window->Gauge1->Progress(), progress);

    QFile history(dir.HistoryFile());
    ASSERT_TRUE(history.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(history.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    const std::string port = "\t" + pty.SlaveName() + "\twindow\t";
    EXPECT_THAT(lines[0].toStdString(),
                ::testing::EndsWith(port + "1\t08:00:00+00:30:00\tconfirmed"));
    EXPECT_THAT(lines[1].toStdString(),
                ::testing::EndsWith(port + "1\t08:00:00+00:30:00\tfailed: " + kNoContactCaption +
                                    "; the controller answered 0x00 to frame 1, which is neither "
                                    "acknowledgement nor refusal"));
    EXPECT_THAT(lines[2].toStdString(),
                ::testing::EndsWith(port + "2\t08:00:00+00:30:00 25:00:00+00:30:00\tnot sent: "
                                           "'25:00:00' is not a valid time"));

    // A later confirmation by movarth-send, on another port.
    TSendRecord sent{
        std::time(nullptr) + 60,        "ttyUSB0",
        SenderSource("/tmp/today.qlx"), {{"07:30:00", "00:30:00"}, {"12:00:00", "01:15:00"}},
        TSendOutcome::soConfirmed,      ""};
    TSendHistory(dir.HistoryFile().toStdString(), {}).Append(sent);
    EXPECT_THAT(ToolTip(), ::testing::EndsWith("，通讯端口 ttyUSB0，共2组条目"));
}

} // namespace
} // namespace movarth
