// Why a port did not open, from real failures: each case makes the situation (a missing path,
// a port that another process holds by its lock file or its flock, a device of a group the
// ordinary user is not in, a regular file), opens the port as the window and movarth-send do,
// and explains the failure that the component raised.
#include "comm/OpenFailure.h"

#include "comm/SerialComm.h"
#include "tests/support/AsOrdinaryUser.h"
#include "tests/support/FakeSerialTree.h"
#include "tests/support/PortHolder.h"
#include "tests/support/TemporaryGroup.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace movarth {
namespace {

// The failure in a line: its kind and what it found.
std::string Seen(const TOpenFailure& failure)
{
    switch (failure.kind) {
    case ofNoSuchDevice: {
        std::string text = failure.nodeExists ? "no device behind the node:" : "no such device:";
        for (const TSerialPort& port : failure.present)
            text += " " + port.name;
        return text;
    }
    case ofInUse: {
        std::string text = "in use:";
        for (const TPortHolder& holder : failure.holders)
            text += " " + std::to_string(holder.pid) + " " + holder.program + " by " +
                    (holder.lockFile.empty() ? "flock" : holder.lockFile);
        return text;
    }
    case ofNotAllowed: {
        static const char* const causes[] = {"unknown", "not in the group", "not logged in again",
                                             "mode refuses"};
        return "not allowed: " + failure.user + ", " + failure.owner + ":" + failure.group + " " +
               (failure.mode != 0 ? ModeText(failure.mode) : "-") + ", " + causes[failure.cause];
    }
    case ofNotSerial: {
        static const char* const kinds[] = {"regular file", "directory",    "fifo",
                                            "socket",       "block device", "character device"};
        return std::string("not serial: ") + kinds[failure.fileKind];
    }
    case ofOther:
        break;
    }
    return "other: " + std::to_string(failure.error);
}

// A folder of the test's own, removed with what it holds.
struct TFolder
{
    TFolder()
    {
        char name[] = "/tmp/movarth-failure-XXXXXX";
        if (::mkdtemp(name) != nullptr) path = name;
    }
    ~TFolder()
    {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

class OpenFailureTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        pty = ::ttyname(slave_);
        tree.AddUart("ttyS0", 4);
        tree.AddUart("ttyS1", 0);
        tree.AddFt232r();
        sources.lockDirectory = locks.path;
        sources.linkFolders = {links.path};
        sources.sysRoot = tree.Sys().string();
        sources.devRoot = tree.Dev().string();
    }
    void TearDown() override
    {
        ::close(slave_);
        ::close(master_);
    }

    // Opens the port as the window does and explains the failure; "opened" when it opened.
    std::string OpenAndExplain(const std::string& name) const
    {
        TPlainUiLoop ui;
        TPosixCommPlatform platform(sources.lockDirectory, sources.linkFolders);
        TComm comm(ui, platform);
        comm.SetDeviceName(name);
        try {
            comm.Open();
        } catch (const ECommError& error) {
            return Seen(ExplainOpenFailure(name, error.ErrorCode(), sources));
        }
        return "opened";
    }

    int master_ = -1;
    int slave_ = -1;
    std::string pty;
    TFolder locks;
    TFolder links;
    TFolder files;
    test::TFakeSerialTree tree;
    TOpenFailureSources sources;
};

TEST_F(OpenFailureTest, NamesWhatIsMissingInUseOrNoSerialDevice)
{
    const std::string link = links.path + "/usb-movarth_Controller_A1-if00-port0";
    ASSERT_EQ(::symlink(pty.c_str(), link.c_str()), 0);
    const std::string regular = files.path + "/today.qlx";
    std::ofstream(regular) << "08:30:00 00:45:30 09:15:30\r\n";
    const std::string fifo = files.path + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string number = pty.substr(pty.rfind('/') + 1);
    const std::string byPath = locks.path + "/LCK..pts_" + number; // minicom's name
    const std::string byLink = locks.path + "/LCK..usb-movarth_Controller_A1-if00-port0"; // cu's

    const struct
    {
        const char* situation;
        std::string name;     // opened by this name
        std::string lockFile; // a holder writes it; else, with holder set, takes the flock
        bool holder = false;
        std::string seen; // {pid}: the holder's
    } cases[] = {
        {"a path that does not exist", files.path + "/ttyUSB7", "", false,
         "no such device: ttyS0 ttyUSB0"},
        {"a name under /dev that does not exist", "ttyMOVARTH9", "", false,
         "no such device: ttyS0 ttyUSB0"},
        {"no name", "", "", false, "no such device: ttyS0 ttyUSB0"},
        {"a lock file under the device's own name", pty, byPath, true,
         "in use: {pid} ctl-holder by " + byPath},
        {"a lock file under its by-id link's name, opened by the device", pty, byLink, true,
         "in use: {pid} ctl-holder by " + byLink},
        {"a lock file under the device's name, opened by its by-id link", link, byPath, true,
         "in use: {pid} ctl-holder by " + byPath},
        {"another process's flock", pty, "", true, "in use: {pid} ctl-holder by flock"},
        {"a regular file", regular, "", false, "not serial: regular file"},
        {"a folder", files.path, "", false, "not serial: directory"},
        {"a FIFO", fifo, "", false, "not serial: fifo"},
        {"a character device that is no terminal", "/dev/null", "", false,
         "not serial: character device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        std::unique_ptr<test::TPortHolderProcess> holder;
        if (c.holder) {
            holder = std::make_unique<test::TPortHolderProcess>(pty, c.lockFile);
            ASSERT_TRUE(holder->Ready());
        }
        const std::string seen = test::WithPid(c.seen, holder ? holder->Pid() : 0);
        EXPECT_EQ(OpenAndExplain(c.name), seen);
        holder.reset();
    }
    EXPECT_EQ(OpenAndExplain(pty), "opened") << "each holder let go of it";
}

// A program that keeps the terminal in exclusive mode and neither locks it nor writes a lock
// file refuses every other opener but root; who it is cannot be told.
TEST_F(OpenFailureTest, AnExclusiveModeAloneIsInUseByAProgramNotNamed)
{
    ASSERT_EQ(::fchmod(slave_, 0666), 0);
    ASSERT_EQ(::ioctl(slave_, TIOCEXCL), 0);
    sources.lockDirectory.clear(); // the test's folder is closed to the ordinary user
    EXPECT_EQ(test::AsOrdinaryUser([&] { return OpenAndExplain(pty); }), "in use:");
    ::ioctl(slave_, TIOCNXCL);
}

// The device is there, but the ordinary user may not open it: the device's group and why the
// user does not have it. Each case runs as the ordinary user, whose login (the child process)
// has no groups but its own.
TEST_F(OpenFailureTest, SaysWhyTheUserMayNotOpenIt)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the device to another group";
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    const gid_t dialoutGid = dialout->gr_gid;
    // Listed in the group database, as `usermod -aG` leaves the user, but after the login.
    const test::TTemporaryGroup added("nobody");
    ASSERT_TRUE(added.Ok()) << "groupadd failed";
    // Below a folder that only root may enter.
    const std::string closed = files.path + "/closed";
    ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
    const std::string hidden = closed + "/port";
    ASSERT_EQ(::symlink(pty.c_str(), hidden.c_str()), 0);
    ASSERT_EQ(::chmod(files.path.c_str(), 0755), 0);

    const struct
    {
        const char* situation;
        gid_t gid;
        mode_t mode;
        std::string name;
        std::string seen;
    } cases[] = {
        {"a group the user is not in", dialoutGid, 0660, pty,
         "not allowed: nobody, root:dialout crw-rw----, not in the group"},
        {"a group the user was added to after the login", added.Gid(), 0660, pty,
         "not allowed: nobody, root:" + added.Name() + " crw-rw----, not logged in again"},
        {"the user's own group, which may not write it", 65534, 0640, pty,
         "not allowed: nobody, root:nogroup crw-r-----, mode refuses"},
        {"only its owner may use it", dialoutGid, 0600, pty,
         "not allowed: nobody, root:dialout crw-------, mode refuses"},
        {"a folder on the way is closed", dialoutGid, 0660, hidden,
         "not allowed: nobody, : -, unknown"},
    };
    sources.lockDirectory.clear(); // the test's folder is closed to the ordinary user
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        ASSERT_EQ(::fchown(slave_, 0, c.gid), 0);
        ASSERT_EQ(::fchmod(slave_, c.mode), 0);
        EXPECT_EQ(test::AsOrdinaryUser([&] { return OpenAndExplain(c.name); }), c.seen);
    }
}

} // namespace
} // namespace movarth
