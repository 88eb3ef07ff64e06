// Finding the port on the real window: the port field's drop-down of the ports present, and
// a port whose device vanished opening again by itself when the device is back.
#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "tests/support/FakeSerialTree.h"

#include <QAbstractButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace movarth {
namespace {

using test::TFakeSerialTree;

const QColor kGreen{0, 128, 0};
const QColor kRed{255, 0, 0};

QString Stored(const TScopedSettingsDir& dir)
{
    return QSettings(dir.File(), QSettings::IniFormat)
        .value(QStringLiteral("SoftWare/movarth/com"), QStringLiteral("<absent>"))
        .toString();
}

class PortDropDown : public testing::Test
{
protected:
    PortDropDown()
    {
        SetErrorOperator(&op);
        window->PortList1->SetRoots(tree.Sys().string(), tree.Dev().string());
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        window->Edit1->setFocus();
    }
    ~PortDropDown() override { SetErrorOperator(nullptr); }

    TPortPopup* Popup() const
    {
        return window->findChild<TPortPopup*>(QStringLiteral("PortPopup1"));
    }
    QStringList Rows() const
    {
        QStringList rows;
        for (int row = 0; row < window->PortList1->rowCount(); ++row)
            rows << window->PortList1->index(row, 0).data().toString();
        return rows;
    }
    QString Dev(const std::string& name) const { return QString::fromStdString(tree.Node(name)); }

    TScopedSettingsDir dir;
    TScriptedOperator op;
    TFakeSerialTree tree;
    std::unique_ptr<TFrm_main> window = std::make_unique<TFrm_main>(&op);
};

TEST_F(PortDropDown, ListsThePortsAndAPickPutsTheLastingNameIntoTheField)
{
    tree.AddUart("ttyS0", 4);
    tree.AddUart("ttyS1", 0);
    const QString byId = QString::fromStdString(tree.AddFt232r());
    TPortPopup* popup = Popup();
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(window->Edit1->geometry(), QRect(168, 65, 73, 29)); // the field keeps its size
    EXPECT_EQ(window->Edit1->text(), QStringLiteral("Com1"));

    QTest::keyClick(window->Edit1, Qt::Key_Down, Qt::AltModifier);
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(Rows(), (QStringList{"ttyS0  内置串口 16550A",
                                   "ttyUSB0  FTDI FT232R USB UART（0403:6001，序列号 A6008isP）"}));
    EXPECT_GE(popup->width(), window->Edit1->width());
    EXPECT_EQ(popup->geometry().top(), window->Edit1->mapToGlobal(QPoint(0, 29)).y());
    // Escape closes it and leaves the field as it was.
    QTest::keyClick(popup, Qt::Key_Escape);
    EXPECT_FALSE(popup->isVisible());
    EXPECT_EQ(window->Edit1->text(), QStringLiteral("Com1"));

    // F4 opens it too, on the first row as the field names no port listed; Down moves to the
    // adapter and Enter picks it.
    QTest::keyClick(window->Edit1, Qt::Key_F4);
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->currentIndex().row(), 0);
    QTest::keyClick(popup, Qt::Key_Down);
    QTest::keyClick(popup, Qt::Key_Return);
    EXPECT_FALSE(popup->isVisible());
    EXPECT_EQ(window->Edit1->text(), byId);
    EXPECT_EQ(window->Edit1->toolTip(), byId); // the narrow field's whole text
    EXPECT_TRUE(window->Edit1->hasFocus());
    EXPECT_TRUE(op.calls.empty());

    // The arrow in the field opens it with the field's port current; a click picks a row.
    QAbstractButton* arrow = nullptr;
    for (QObject* object : window->Edit1List->associatedObjects())
        if (auto* button = qobject_cast<QAbstractButton*>(object)) arrow = button;
    ASSERT_NE(arrow, nullptr);
    EXPECT_TRUE(arrow->isVisible());
    QTest::mouseClick(arrow, Qt::LeftButton);
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->currentIndex().row(), 1);
    const QRect uart = popup->visualRect(window->PortList1->index(0, 0));
    QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, uart.center());
    EXPECT_FALSE(popup->isVisible());
    EXPECT_EQ(window->Edit1->text(), Dev("ttyS0"));
}

// The listing is read each time the drop-down opens: an adapter plugged in meanwhile is there.
// With no port at all the drop-down still opens and says so.
TEST_F(PortDropDown, IsReadWhenItOpens)
{
    TPortPopup* popup = Popup();
    ASSERT_NE(popup, nullptr);
    QTest::keyClick(window->Edit1, Qt::Key_Down, Qt::AltModifier);
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(window->PortList1->rowCount(), 0);
    QTest::keyClick(popup, Qt::Key_Return); // nothing to pick
    EXPECT_EQ(window->Edit1->text(), QStringLiteral("Com1"));
    QTest::keyClick(popup, Qt::Key_Escape);

    tree.AddUsb("ttyACM0", "1-2", "cdc_acm", {"2341", "0043", "Arduino (www.arduino.cc)", "", ""});
    QTest::keyClick(window->Edit1, Qt::Key_Down, Qt::AltModifier);
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(Rows(), QStringList{"ttyACM0  Arduino (www.arduino.cc)（2341:0043）"});
    QTest::keyClick(popup, Qt::Key_Escape);
}

// The picked name is what 打开 opens and stores: the adapter's node here is a pseudo-terminal.
TEST_F(PortDropDown, ThePickedNameIsOpenedAndStored)
{
    TPseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    const QString byId = QString::fromStdString(tree.AddFt232r());
    tree.PointNodeAt("ttyUSB0", pty.SlaveName());

    QTest::keyClick(window->Edit1, Qt::Key_F4);
    QTest::keyClick(Popup(), Qt::Key_Return); // the first and only row is current
    ASSERT_EQ(window->Edit1->text(), byId);
    QTest::mouseClick(window->BitBtn2, Qt::LeftButton);
    EXPECT_TRUE(window->Comm1.IsOpen());
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
    EXPECT_EQ(Stored(dir), byId);
    EXPECT_TRUE(op.calls.empty());
}

// Device events as a test announces them: through a pipe, so that they reach the window on
// its event loop through its socket notifier as the system's do.
class TAnnouncedDeviceEvents final : public TDeviceEventSource
{
public:
    TAnnouncedDeviceEvents()
    {
        if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
    }
    ~TAnnouncedDeviceEvents() override
    {
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    TAnnouncedDeviceEvents(const TAnnouncedDeviceEvents&) = delete;
    TAnnouncedDeviceEvents& operator=(const TAnnouncedDeviceEvents&) = delete;

    int Descriptor() const override { return pipe_[0]; }
    std::vector<TDeviceEvent> Receive() override
    {
        char bytes[64];
        while (::read(pipe_[0], bytes, sizeof bytes) > 0) {
        }
        std::vector<TDeviceEvent> events(waiting_.begin(), waiting_.end());
        waiting_.clear();
        return events;
    }

    void Announce(const TDeviceEvent& event)
    {
        waiting_.push_back(event);
        [[maybe_unused]] const auto n = ::write(pipe_[1], "", 1);
    }
    // Whether the window has taken every event announced.
    bool Taken() const { return waiting_.empty(); }

private:
    int pipe_[2];
    std::deque<TDeviceEvent> waiting_;
};

// A pseudo-terminal has no device events of its own. The port is opened by a link, as udev's
// /dev/serial/by-id names are; "unplugging" closes the pseudo-terminal's master, which hangs
// up the port as a pulled adapter does, and "plugging in" makes a new pseudo-terminal, points
// the link at it and announces it as udev would, once the link is in place.
class Reconnection : public testing::Test
{
protected:
    Reconnection()
    {
        SetErrorOperator(&op);
        EXPECT_TRUE(window->DeviceWatch1->Watching()); // the system's events, by default
        auto source = std::make_unique<TAnnouncedDeviceEvents>();
        events = source.get();
        window->DeviceWatch1->SetSource(std::move(source));
    }
    ~Reconnection() override { SetErrorOperator(nullptr); }

    void PlugIn()
    {
        device = std::make_unique<TPseudoTerminal>();
        ASSERT_TRUE(device->Ok());
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink(device->SlaveName().c_str(), link.c_str()), 0);
    }
    void Unplug()
    {
        device.reset();
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->Shape1->BrushColor() == kRed; }, 5000));
        ASSERT_FALSE(window->Comm1.IsOpen());
    }
    // Announces an event and waits until the window has taken it.
    void Announce(const TDeviceEvent& event)
    {
        events->Announce(event);
        ASSERT_TRUE(QTest::qWaitFor([&] { return events->Taken(); }, 5000));
    }
    void AnnounceTheDevice() { Announce({"add", "tty", device->SlaveName()}); }
    void Open(const std::string& name)
    {
        window->Edit1->setText(QString::fromStdString(name));
        window->BitBtn2->click();
    }
    // Whether the open port is the device plugged in now: a byte written reaches its master.
    bool OpenOnTheDevice()
    {
        const std::uint8_t byte = 0x42;
        return window->Comm1.IsOpen() && window->Comm1.Write(&byte, 1) == 1 &&
               device->Read(1, 2000) == "\x42";
    }

    TScopedSettingsDir dir;
    TScriptedOperator op;
    QTemporaryDir links;
    const std::string link =
        links.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0"))
            .toStdString();
    std::unique_ptr<TPseudoTerminal> device;
    std::unique_ptr<TFrm_main> window = std::make_unique<TFrm_main>(&op);
    TAnnouncedDeviceEvents* events = nullptr;
};

TEST_F(Reconnection, TheSameDeviceBackOpensAgainWithoutABox)
{
    PlugIn();
    Open(link);
    ASSERT_EQ(window->Shape1->BrushColor(), kGreen);
    Unplug();
    EXPECT_TRUE(op.calls.empty());
    QSettings(dir.File(), QSettings::IniFormat)
        .setValue(QStringLiteral("SoftWare/movarth/com"), QStringLiteral("untouched"));

    // What is not the device coming back changes nothing.
    PlugIn();
    TPseudoTerminal other;
    ASSERT_TRUE(other.Ok());
    const struct
    {
        const char* what;
        TDeviceEvent event;
    } others[] = {
        {"another terminal", {"add", "tty", other.SlaveName()}},
        {"the device removed", {"remove", "tty", device->SlaveName()}},
        {"the device changed", {"change", "tty", device->SlaveName()}},
        {"another subsystem", {"add", "usb", device->SlaveName()}},
    };
    for (const auto& o : others) {
        Announce(o.event);
        EXPECT_FALSE(window->Comm1.IsOpen()) << o.what;
        EXPECT_EQ(window->Shape1->BrushColor(), kRed) << o.what;
    }

    AnnounceTheDevice();
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
    EXPECT_TRUE(OpenOnTheDevice());
    EXPECT_EQ(window->Comm1.DeviceName(), link);
    EXPECT_TRUE(op.calls.empty());
    EXPECT_EQ(Stored(dir), QStringLiteral("untouched"));

    // It goes on: the next loss and return are handled alike.
    Unplug();
    PlugIn();
    AnnounceTheDevice();
    EXPECT_TRUE(OpenOnTheDevice());
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
}

// Another program took the device first: the indicator stays red and nothing is shown. Once
// that program lets go, the device's next return opens it.
TEST_F(Reconnection, ADeviceAnotherProgramHoldsStaysRedSilently)
{
    PlugIn();
    Open(link);
    Unplug();
    PlugIn();
    const int holder = ::open(device->SlaveName().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    AnnounceTheDevice();
    EXPECT_FALSE(window->Comm1.IsOpen());
    EXPECT_EQ(window->Shape1->BrushColor(), kRed);
    EXPECT_TRUE(op.calls.empty());

    ::close(holder);
    AnnounceTheDevice();
    EXPECT_TRUE(OpenOnTheDevice());
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
}

// The loss ended the download; the device coming back opens the port but sends nothing.
TEST_F(Reconnection, ADownloadTheLossEndedIsNotResumed)
{
    PlugIn();
    Open(link);
    TypeTime(window->MaskEdit1, "08:00:00");
    TypeTime(window->MaskEdit2, "00:30:00");
    window->BitBtn1->click();
    window->BitBtn4->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Download().WaitTicks() >= 2; }, 5000));
    ASSERT_FALSE(device->Read(1, 0).empty()); // the handshake is going out
    Unplug();
    ASSERT_FALSE(window->DownloadBusy());
    const QString ended = window->Label6->text();
    op.calls.clear();

    PlugIn();
    AnnounceTheDevice();
    EXPECT_EQ(window->Shape1->BrushColor(), kGreen);
    EXPECT_TRUE(window->Comm1.IsOpen());
    QTest::qWait(300); // six ticks of the handshake, were it going on
    EXPECT_EQ(device->Read(1, 0), "");
    EXPECT_FALSE(window->DownloadBusy());
    EXPECT_EQ(window->Label6->text(), ended);
    EXPECT_TRUE(op.calls.empty());
}

// Pressing 打开 on the same name while the device is away keeps the wait (the box says it
// failed); choosing another name ends it.
TEST_F(Reconnection, OpeningAnotherNameEndsTheWait)
{
    PlugIn();
    Open(link);
    Unplug();
    Open(link);
    EXPECT_EQ(op.Messages(), std::vector<std::string>{"端口打开有错误，请重新输入！"});
    PlugIn();
    AnnounceTheDevice();
    EXPECT_TRUE(OpenOnTheDevice());

    Unplug();
    Open("/dev/movarth-no-such-port");
    PlugIn();
    AnnounceTheDevice();
    EXPECT_FALSE(window->Comm1.IsOpen());
    EXPECT_EQ(window->Shape1->BrushColor(), kRed);
}

} // namespace
} // namespace movarth
