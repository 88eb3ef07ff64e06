#include "app/Application.h"
#include "app/Frm_edit.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QTimer>
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

TEST_F(MainWindow, ASettingsFailureEndsTheStartUpAtThatStep)
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
        // Headers as laid out, the clock not started.
        EXPECT_EQ(window->SortGrid1->Cells(0, 0), "开播时间");
        EXPECT_FALSE(window->ZelMultiThreader1.Threads()[0].Enabled());
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
    Open(pty.SlaveName());
    TypeTime(window->MaskEdit1, "08:00:00");
    TypeTime(window->MaskEdit2, "00:30:00");
    window->BitBtn1->click();
    window->BitBtn4->click();
    ASSERT_TRUE(window->DownloadBusy());

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

} // namespace
} // namespace movarth
