#include "comm/PosixComm.h"

#include "comm/PosixBaudRate.h"
#include "comm/SerialComm.h"
#include "tests/support/AsOrdinaryUser.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace movarth {
namespace {

using namespace std::chrono_literals;

void ExpectCommError(const std::function<void()>& action, const std::string& text, int code)
{
    try {
        action();
        ADD_FAILURE() << "no ECommError, expected: " << text;
    } catch (const ECommError& error) {
        EXPECT_EQ(error.what(), text + " (Error: " + std::to_string(code) + ") ");
        EXPECT_EQ(error.ErrorCode(), code);
    }
}

TEST(PosixDevicePathTest, MapsNamesOntoDevices)
{
    const std::vector<std::pair<std::string, std::string>> names{
        {"Com1", "/dev/ttyS0"},
        {"COM2", "/dev/ttyS1"},
        {"com12", "/dev/ttyS11"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/pts/3", "/dev/pts/3"},
        {"./port", "./port"},
        {"COM0", "/dev/COM0"},
        {"COM01", "/dev/COM01"},
        {"Com1x", "/dev/Com1x"},
        {"COM", "/dev/COM"},
        {"", ""},
    };
    for (const auto& [name, path] : names)
        EXPECT_EQ(PosixDevicePath(name), path) << name;
}

TDeviceControlBlock Block8N1(std::uint32_t rate)
{
    TDeviceControlBlock block;
    block.BaudRate = rate;
    block.Flags = DcbFlag::fBinary | DcbFlag::DtrControlEnable | DcbFlag::RtsControlEnable;
    block.XonChar = 17;
    block.XoffChar = 19;
    return block;
}

TEST(TermiosMappingTest, EveryBitRateHasAStandardSpeedOrGoesThroughTermios2)
{
    for (const std::uint32_t rate :
         {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
        termios settings{};
        bool custom = true;
        ASSERT_EQ(ToTermios(Block8N1(rate), settings, custom), 0);
        EXPECT_FALSE(custom) << rate;
        EXPECT_EQ(cfgetospeed(&settings), StandardSpeed(rate)) << rate;
        EXPECT_NE(StandardSpeed(rate), B0) << rate;
    }
    for (const std::uint32_t rate : {14400u, 56000u, 128000u, 256000u}) {
        termios settings{};
        bool custom = false;
        ASSERT_EQ(ToTermios(Block8N1(rate), settings, custom), 0);
        EXPECT_TRUE(custom) << rate;
    }
}

TEST(TermiosMappingTest, FramingAndFlowControlMapOntoTermiosAndBack)
{
    struct TCase
    {
        std::uint8_t byteSize, parity, stopBits;
        std::uint32_t flags;
        tcflag_t cflags, iflags;
    };
    using namespace DcbFlag;
    const std::vector<TCase> cases{
        {8, 0, 0, fBinary, CS8, 0},
        {7, 1, 0, fBinary, CS7 | PARENB | PARODD, 0},
        {7, 2, 2, fBinary, CS7 | PARENB | CSTOPB, 0},
        {5, 3, 0, fBinary, CS5 | PARENB | PARODD | CMSPAR, 0},
        {6, 4, 0, fBinary, CS6 | PARENB | CMSPAR, 0},
        {8, 2, 0, fBinary | fParity, CS8 | PARENB, INPCK},
        {8, 0, 0, fBinary | fOutxCtsFlow | RtsControlHandshake, CS8 | CRTSCTS, 0},
        {8, 0, 0, fBinary | fOutX | fInX, CS8, IXON | IXOFF},
    };
    constexpr tcflag_t cmask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    constexpr tcflag_t imask = IXON | IXOFF | INPCK;
    for (const auto& test : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(test.byteSize) << " " << int(test.parity) << " " << test.flags);
        TDeviceControlBlock block = Block8N1(9600);
        block.ByteSize = test.byteSize;
        block.Parity = test.parity;
        block.StopBits = test.stopBits;
        block.Flags = test.flags;
        termios settings{};
        settings.c_iflag = ICRNL | IXANY; // cooked leftovers that must go
        settings.c_lflag = ICANON | ECHO;
        bool custom = false;
        ASSERT_EQ(ToTermios(block, settings, custom), 0);
        EXPECT_EQ(settings.c_cflag & cmask, test.cflags);
        EXPECT_EQ(settings.c_iflag & imask, test.iflags);
        EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(settings.c_iflag & (ICRNL | IXANY), 0u);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(settings.c_cc[VSTART], 17);
        EXPECT_EQ(settings.c_cc[VSTOP], 19);

        TDeviceControlBlock back;
        FromTermios(settings, back);
        EXPECT_EQ(back.ByteSize, test.byteSize);
        EXPECT_EQ(back.Parity, test.parity);
        EXPECT_EQ(back.StopBits, test.stopBits);
        EXPECT_EQ(back.Flags, test.flags);
    }
}

TEST(TermiosMappingTest, SettingsLinuxCannotApplyAreRefused)
{
    using namespace DcbFlag;
    const std::vector<std::pair<const char*, std::function<void(TDeviceControlBlock&)>>> cases{
        {"4 data bits", [](auto& b) { b.ByteSize = 4; }},
        {"1.5 stop bits", [](auto& b) { b.StopBits = 1; }},
        {"DSR flow", [](auto& b) { b.Flags |= fOutxDsrFlow; }},
        {"DTR handshake",
         [](auto& b) { b.Flags = (b.Flags & ~DtrControlMask) | DtrControlHandshake; }},
        {"DSR sensitivity", [](auto& b) { b.Flags |= fDsrSensitivity; }},
        {"error character", [](auto& b) { b.Flags |= fErrorChar; }},
        {"NUL stripping", [](auto& b) { b.Flags |= fNull; }},
        {"RTS toggle", [](auto& b) { b.Flags |= RtsControlMask; }},
        {"no bit rate", [](auto& b) { b.BaudRate = 0; }},
    };
    for (const auto& [name, change] : cases) {
        TDeviceControlBlock block = Block8N1(2400);
        change(block);
        termios settings{};
        bool custom = false;
        EXPECT_EQ(ToTermios(block, settings, custom), EINVAL) << name;
    }
}

// A folder for the UUCP lock files of one test, removed with what it holds.
struct TLockFolder
{
    TLockFolder()
    {
        char name[] = "/tmp/movarth-lock-XXXXXX";
        if (::mkdtemp(name) != nullptr) path = name;
    }
    ~TLockFolder()
    {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            names.push_back(entry.path().filename().string());
        return names;
    }
    std::string path;
};

// What an ordinary user's plain opener of the device meets: "opened", or why not (the
// terminal's exclusive mode, left behind, refuses with EBUSY every opener but root).
std::string OrdinaryOpener(const std::string& device)
{
    return test::AsOrdinaryUser([&] {
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return std::string(std::strerror(errno));
        ::close(fd);
        return std::string("opened");
    });
}

// The settings a terminal keeps, compared field by field (termios has padding).
bool SameSettings(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) &&
           std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Two process ids for lock files: one whose process lives as long as this object, one whose
// process has ended.
struct TLockOwners
{
    TLockOwners()
    {
        live = ::fork();
        if (live == 0) {
            ::pause();
            ::_exit(0);
        }
        dead = ::fork();
        if (dead == 0) ::_exit(0);
        if (dead > 0) ::waitpid(dead, nullptr, 0);
    }
    ~TLockOwners()
    {
        if (live > 0) {
            ::kill(live, SIGKILL);
            ::waitpid(live, nullptr, 0);
        }
    }
    TLockOwners(const TLockOwners&) = delete;
    TLockOwners& operator=(const TLockOwners&) = delete;

    pid_t live = -1;
    pid_t dead = -1;
};

// A lock file's content: the owner's process id as ten characters and a line end.
std::string LockContent(pid_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

// The component on the slave side of a pseudo-terminal; the test plays the other end on the
// master side. Its lock files go to a folder of the test's own.
class PtyCommTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        path_ = ::ttyname(slave_);
        termios settings{};
        ::tcgetattr(master_, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(master_, TCSANOW, &settings);
        comm.SetDeviceName(path_);
        comm.SetReadTimeout(100);
        comm.SetWriteTimeout(100);
        comm.SetReadBufSize(128);
        comm.SetWriteBufSize(128);
        comm.SetBaudRate(br2400);
    }

    void TearDown() override
    {
        comm.Close();
        CloseMaster();
        ::close(slave_);
    }

    void CloseMaster()
    {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void SendFromOtherEnd(std::vector<std::uint8_t> bytes)
    {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<std::uint8_t> ReceiveAtOtherEnd(std::size_t count)
    {
        std::vector<std::uint8_t> bytes;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            std::array<std::uint8_t, 64> buffer{};
            const ssize_t got = ::read(master_, buffer.data(), buffer.size());
            if (got > 0) bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
        }
        return bytes;
    }

    termios SlaveSettings() const
    {
        termios settings{};
        ::tcgetattr(slave_, &settings);
        return settings;
    }

    std::string LockFile() const { return locks.path + "/" + LockFileName(path_); }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    TLockFolder locks;
    TPosixCommPlatform platform{locks.path};
    TPlainUiLoop ui;
    TComm comm{ui, platform};
};

TEST(LockFileNameTest, NamesTheDeviceAsOtherSerialProgramsDo)
{
    EXPECT_EQ(LockFileName("/dev/ttyS0"), "LCK..ttyS0");
    EXPECT_EQ(LockFileName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(LockFileName("/srv/line"), "LCK..line");
    // A link (as udev makes under /dev/serial) names the device it leads to.
    TLockFolder folder;
    const std::string link = folder.path + "/controller";
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
    EXPECT_EQ(LockFileName(link), "LCK..null");
}

// cu names a device by the last component of its name, minicom by its path below /dev, and
// each by the name it was given, which may be a by-id link: every one of these is looked for.
TEST(LockFileNameTest, EveryNameOtherSerialProgramsGiveTheDeviceIsLookedFor)
{
    TLockFolder links; // stands in for /dev/serial/by-id
    ASSERT_EQ(::symlink("/dev/null", (links.path + "/usb-Maker_Null-if00").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", (links.path + "/usb-Maker_Zero-if00").c_str()), 0);
    const std::vector<std::string> folders{links.path, links.path + "/missing"};
    using TNames = std::vector<std::string>;
    EXPECT_EQ(LockFileNamesOf("/dev/null", folders),
              (TNames{"LCK..null", "LCK..usb-Maker_Null-if00"}));
    EXPECT_EQ(LockFileNamesOf(links.path + "/usb-Maker_Null-if00", folders),
              (TNames{"LCK..usb-Maker_Null-if00", "LCK..null"}));
    EXPECT_EQ(LockFileNamesOf("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", {}),
              (TNames{"LCK..usb-FTDI_FT232R-if00-port0",
                      "LCK..serial_by-id_usb-FTDI_FT232R-if00-port0"}));
    EXPECT_EQ(LockFileNamesOf("/dev/movarth-no-such-pts/7", folders),
              (TNames{"LCK..7", "LCK..movarth-no-such-pts_7"}));
}

TEST_F(PtyCommTest, OpensByNameAt2400EightNoneOne)
{
    comm.Open();
    ASSERT_TRUE(comm.IsOpen());
    const termios settings = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), B2400);
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(comm.DataControlBlock().BaudRate, 2400u);
}

TEST_F(PtyCommTest, BytesGoBothWaysAndReceivedCharactersArriveOnTheUiThread)
{
    std::vector<std::uint8_t> received;
    std::vector<int> counts;
    std::thread::id where;
    comm.OnRxChar = [&](TCustomComm& sender, int count) {
        where = std::this_thread::get_id();
        counts.push_back(count);
        std::array<std::uint8_t, 128> buffer{};
        const int read = sender.Read(buffer.data(), std::min(count, 128));
        ASSERT_GT(read, 0);
        received.insert(received.end(), buffer.begin(), buffer.begin() + read);
    };
    comm.Open();

    const std::array<std::uint8_t, 8> frame{0x07, 0x30, 0x00, 0x00, 0x45, 0x00, 0x82, 0x0D};
    EXPECT_EQ(comm.Write(frame.data(), 8), 8);
    EXPECT_THAT(ReceiveAtOtherEnd(8), ::testing::ElementsAreArray(frame)); // untranslated, 0x0D too

    SendFromOtherEnd({0x55, 0xAA, 0x0A});
    ASSERT_TRUE(ui.RunUntil([&] { return received.size() == 3; }, 5s));
    EXPECT_THAT(received, ::testing::ElementsAre(0x55, 0xAA, 0x0A));
    EXPECT_EQ(where, std::this_thread::get_id());
    for (const int count : counts)
        EXPECT_GT(count, 0);
}

TEST_F(PtyCommTest, ReadOfNothingReturnsZero)
{
    comm.Open();
    std::array<std::uint8_t, 16> buffer{};
    EXPECT_EQ(comm.Read(buffer.data(), 16), 0);
}

TEST_F(PtyCommTest, UnreadBytesAreReportedOnceUntilMoreArrive)
{
    std::vector<int> counts;
    comm.OnRxChar = [&](TCustomComm&, int count) { counts.push_back(count); }; // reads nothing
    comm.Open();
    SendFromOtherEnd({0x55});
    ASSERT_TRUE(ui.RunUntil([&] { return !counts.empty(); }, 5s));
    ui.RunFor(200ms);
    EXPECT_THAT(counts, ::testing::ElementsAre(1));
    SendFromOtherEnd({0x55});
    ASSERT_TRUE(ui.RunUntil([&] { return counts.size() == 2; }, 5s));
    EXPECT_EQ(counts[1], 2);
}

TEST_F(PtyCommTest, TransmitEmptyFollowsAWrite)
{
    int empties = 0;
    comm.OnTxEmpty = [&](TCustomComm&) { ++empties; };
    comm.Open();
    const std::uint8_t byte = 0x55;
    comm.Write(&byte, 1);
    EXPECT_TRUE(ui.RunUntil([&] { return empties >= 1; }, 5s));
}

// Two components in one process, a component of another platform object and a plain opener
// (an ordinary user's terminal program that does not lock) all stay out while the device is
// held; the device is free again after Close.
TEST_F(PtyCommTest, WhileOpenTheDeviceIsHeldAgainstEveryOtherOpener)
{
    ASSERT_EQ(::fchmod(slave_, 0666), 0); // so that the ordinary user may try it
    comm.Open();
    EXPECT_EQ(ReadFile(LockFile()), LockContent(::getpid()));

    TComm second(ui, platform);
    second.SetDeviceName(path_);
    ExpectCommError([&] { second.Open(); }, "Error accessing specified device", EBUSY);
    TPosixCommPlatform otherPlatform{""}; // no lock files: flock alone keeps it out
    TComm third(ui, otherPlatform);
    third.SetDeviceName(path_);
    ExpectCommError([&] { third.Open(); }, "Error accessing specified device", EWOULDBLOCK);
    const std::string device = path_;
    EXPECT_EQ(test::AsOrdinaryUser([&] {
                  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                  if (fd >= 0) ::close(fd);
                  return fd >= 0 ? std::string("opened") : std::string(std::strerror(errno));
              }),
              std::strerror(EBUSY));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_FALSE(third.IsOpen());

    comm.Close();
    EXPECT_TRUE(locks.Files().empty());
    EXPECT_NO_THROW(second.Open());
    EXPECT_TRUE(second.IsOpen());
}

// The UUCP lock file as terminal and modem programs leave it: one naming a live process keeps
// the device from us; one whose process has ended, or that names none, is taken over.
TEST_F(PtyCommTest, ALockFileOfAnotherProgramIsHonouredAndAStaleOneTakenOver)
{
    const TLockOwners owners;
    ASSERT_GT(owners.live, 0);
    ASSERT_GT(owners.dead, 0);
    const pid_t live = owners.live;
    const pid_t dead = owners.dead;

    struct TCase
    {
        const char* name;
        std::string content;
        bool opens;
    };
    const std::vector<TCase> cases{
        {"a live owner", LockContent(live), false},
        {"a live owner, written without padding", std::to_string(live) + "\n", false},
        {"an owner that has ended", LockContent(dead), true},
        {"no owner at all", "", true},
        {"no number", "modem\n", true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        WriteFile(LockFile(), test.content);
        if (test.opens) {
            EXPECT_NO_THROW(comm.Open());
            EXPECT_EQ(ReadFile(LockFile()), LockContent(::getpid()));
            comm.Close();
            EXPECT_TRUE(locks.Files().empty());
        } else {
            ExpectCommError([&] { comm.Open(); }, "Error accessing specified device", EBUSY);
            EXPECT_FALSE(comm.IsOpen());
            EXPECT_EQ(ReadFile(LockFile()), test.content); // left to its owner
        }
        std::filesystem::remove(LockFile());
    }
}

// Another program's live lock file under any name of the device keeps it from us, whichever
// name we open it by; a stale one under another name is left alone.
TEST_F(PtyCommTest, ALiveLockFileUnderAnyOtherNameOfTheDeviceIsHonoured)
{
    TLockFolder links;
    const std::string link = links.path + "/usb-movarth_Controller-if00-port0";
    ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
    TPosixCommPlatform linked{locks.path, {links.path}};
    const TLockOwners owners;
    ASSERT_GT(owners.live, 0);
    ASSERT_GT(owners.dead, 0);

    const std::string number = path_.substr(path_.rfind('/') + 1);
    for (const std::string& name :
         std::vector<std::string>{"LCK.." + number, "LCK..usb-movarth_Controller-if00-port0"}) {
        for (const std::string& opened : {path_, link}) {
            SCOPED_TRACE(name + " opened as " + opened);
            TComm comm2(ui, linked);
            comm2.SetDeviceName(opened);
            WriteFile(locks.path + "/" + name, LockContent(owners.live));
            ExpectCommError([&] { comm2.Open(); }, "Error accessing specified device", EBUSY);
            EXPECT_EQ(ReadFile(locks.path + "/" + name), LockContent(owners.live));

            WriteFile(locks.path + "/" + name, LockContent(owners.dead));
            EXPECT_NO_THROW(comm2.Open());
            EXPECT_EQ(ReadFile(LockFile()), LockContent(::getpid())) << "ours as always";
            comm2.Close();
            EXPECT_EQ(ReadFile(locks.path + "/" + name), LockContent(owners.dead)) << "left alone";
            std::filesystem::remove(locks.path + "/" + name);
        }
    }
}

// An ordinary user may not write every lock folder; the port then opens without a lock file.
TEST(PosixLockFolderTest, AFolderThatCannotBeWrittenIsGoneWithout)
{
    EXPECT_EQ(test::AsOrdinaryUser([] {
                  char name[] = "/tmp/movarth-lock-XXXXXX";
                  if (::mkdtemp(name) == nullptr || ::chmod(name, 0555) != 0) return "no folder";
                  int master = -1;
                  int slave = -1;
                  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "no pty";
                  TPosixCommPlatform platform{name};
                  TPlainUiLoop ui;
                  TComm comm(ui, platform);
                  comm.SetDeviceName(::ttyname(slave));
                  const char* result = "opened";
                  try {
                      comm.Open();
                      if (!std::filesystem::is_empty(name)) result = "a lock file appeared";
                      comm.Close();
                  } catch (const ECommError& error) {
                      result = "refused";
                  }
                  ::close(master);
                  ::close(slave);
                  ::rmdir(name);
                  return result;
              }),
              "opened");
}

// The lock folder is shared with every user and sticky (/run/lock): another user's lock file
// there cannot be removed by us. One whose process has ended, or that names none, leaves the
// port to flock and the exclusive mode: it opens without a lock file of ours, and says so once.
TEST(PosixLockFolderTest, AnotherUsersStaleLockFileInAStickyFolderIsLeftAndThePortOpens)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to leave a lock file as another user";
    TLockFolder folder;
    ASSERT_EQ(::chmod(folder.path.c_str(), 01777), 0);
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::fchmod(slave, 0666), 0);
    const std::string device = ::ttyname(slave);
    const std::string lock = folder.path + "/" + LockFileName(device);
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);

    const struct
    {
        std::string content;
        std::string why;
    } cases[] = {
        {LockContent(dead), ", left by process " + std::to_string(dead) + " which has ended,"},
        {"", ", which names no running process,"},
        {"\x01garbled", ", which names no running process,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        WriteFile(lock, c.content); // root's file
        const std::string seen = test::AsOrdinaryUser([&] {
            TPosixCommPlatform platform{folder.path};
            std::string notes;
            platform.OnLockFileNote = [&](const std::string& text) { notes += text + "\n"; };
            TPlainUiLoop ui;
            TComm comm(ui, platform);
            comm.SetDeviceName(device);
            try {
                comm.Open();
                comm.Close();
                comm.Open(); // and again, the same way
                comm.Close();
            } catch (const ECommError& error) {
                return std::string("refused: ") + error.what();
            }
            return notes;
        });
        const std::string note = "'" + device + "' opened without a lock file: " + lock + c.why +
                                 " cannot be removed (" + std::strerror(EPERM) + ")\n";
        EXPECT_EQ(seen, note + note);
        EXPECT_EQ(ReadFile(lock), c.content) << "left to its owner";
        EXPECT_EQ(folder.Files(), std::vector<std::string>{LockFileName(device)});
    }
    // One that the user may not even read tells nothing: it may be a live process's.
    WriteFile(lock, LockContent(dead));
    ASSERT_EQ(::chmod(lock.c_str(), 0600), 0);
    EXPECT_EQ(test::AsOrdinaryUser([&] {
                  TPosixCommPlatform platform{folder.path};
                  TPlainUiLoop ui;
                  TComm comm(ui, platform);
                  comm.SetDeviceName(device);
                  try {
                      comm.Open();
                      return std::string("opened");
                  } catch (const ECommError& error) {
                      return std::string(error.what());
                  }
              }),
              "Error accessing specified device (Error: " + std::to_string(EBUSY) + ") ");
    ::close(slave);
    ::close(master);
}

// Our lock file is written under a temporary name nobody can plant beforehand: the name the
// program once used (LTMP.<pid>.<tid>), planted, no longer keeps it from writing one.
TEST_F(PtyCommTest, APlantedTemporaryNameDoesNotKeepTheLockFileOut)
{
    const std::string planted =
        locks.path + "/LTMP." + std::to_string(::getpid()) + "." + std::to_string(::gettid());
    WriteFile(planted, "planted");
    comm.Open();
    EXPECT_EQ(ReadFile(LockFile()), LockContent(::getpid()));
    EXPECT_EQ(ReadFile(planted), "planted");
    std::vector<std::string> files = locks.Files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{LockFileName(path_),
                                               planted.substr(locks.path.size() + 1)}))
        << "no temporary file of ours is left";
    comm.Close();
}

// The lock file can be read by every later opener whatever the umask: under umask 0777 a file
// of mode 0000 would be taken for one whose owner cannot be told, and taken over.
TEST(PosixLockFolderTest, TheLockFileIsReadableWhateverTheUmask)
{
    EXPECT_EQ(test::AsOrdinaryUser([] {
                  TLockFolder folder;
                  int master = -1;
                  int slave = -1;
                  if (folder.path.empty() ||
                      ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
                      return std::string("no folder or pty");
                  const std::string device = ::ttyname(slave);
                  const std::string lock = folder.path + "/" + LockFileName(device);
                  ::umask(0777);
                  TPlainUiLoop ui;
                  TPosixCommPlatform platform{folder.path};
                  TComm comm(ui, platform);
                  comm.SetDeviceName(device);
                  TPosixCommPlatform laterPlatform{folder.path};
                  TComm later(ui, laterPlatform);
                  later.SetDeviceName(device);
                  std::string seen;
                  try {
                      comm.Open();
                      struct stat status
                      {
                      };
                      ::stat(lock.c_str(), &status);
                      char mode[8];
                      std::snprintf(mode, sizeof mode, "%04o", status.st_mode & 07777);
                      seen = std::string("mode ") + mode;
                      try {
                          later.Open();
                          seen += ", a later opener got in";
                      } catch (const ECommError& error) {
                          seen += std::string(", a later opener: ") + error.what();
                      }
                      seen += ReadFile(lock) == LockContent(::getpid()) ? ", the lock file is ours"
                                                                        : ", the lock file is gone";
                      comm.Close();
                  } catch (const ECommError& error) {
                      seen = std::string("refused: ") + error.what();
                  }
                  ::close(slave);
                  ::close(master);
                  return seen;
              }),
              "mode 0644, a later opener: Error accessing specified device (Error: " +
                  std::to_string(EBUSY) + ") , the lock file is ours");
}

TEST_F(PtyCommTest, TheOtherEndHangingUpClosesThePortAndReportsTheLoss)
{
    std::vector<std::string> losses;
    comm.OnDeviceLost = [&](TCustomComm&, const ECommError& error) {
        losses.push_back(error.what());
    };
    comm.Open();
    ASSERT_FALSE(locks.Files().empty());
    CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ui.RunUntil([&] { return !losses.empty(); }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_THAT(losses, ::testing::ElementsAre("Device removed or line hung up (Error: 5) "));
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_TRUE(locks.Files().empty()); // the lock went with the descriptor

    timespec before{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    ui.RunFor(300ms);
    timespec after{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpuMs =
        (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 150.0); // a spinning event thread would use about 300 ms here
    EXPECT_EQ(losses.size(), 1u);
}

// A pseudo-terminal carries only 8 bits without parity: the opening fails after the device
// was opened, and must give it back, lock, lock file and line settings included.
TEST_F(PtyCommTest, AnOpeningThatFailsPartWayHoldsNothing)
{
    const termios before = SlaveSettings();
    comm.SetParity(paEven);
    ExpectCommError([&] { comm.Open(); }, "Error updating DataControlBlock", EINVAL);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_TRUE(locks.Files().empty());
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
    EXPECT_TRUE(SameSettings(SlaveSettings(), before));
}

// Only a terminal is a port. Anything else is refused before it is locked or changed: each
// of these is flock-ed by someone else here, which an opener that locked first would have run
// into ("in use"). /dev/null is a character device too, but no terminal.
TEST_F(PtyCommTest, AnythingButATerminalIsRefusedBeforeItIsLocked)
{
    char file[] = "/tmp/movarth-comm-XXXXXX";
    const int fileFd = ::mkstemp(file);
    ASSERT_GE(fileFd, 0);
    ::close(fileFd);
    const std::string fifo = locks.path + "-fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& name : {std::string(file), fifo, std::string("/dev/null")}) {
        SCOPED_TRACE(name);
        const int held = ::open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        comm.SetDeviceName(name);
        ExpectCommError([&] { comm.Open(); }, "Invalid device handle, access denied", -1);
        EXPECT_FALSE(comm.IsOpen());
        EXPECT_TRUE(locks.Files().empty());
        ::close(held);
    }
    ::unlink(file);
    ::unlink(fifo.c_str());
}

// The line settings found when the port opened are put back when it closes, as serial
// programs do: a terminal given as the port is not left raw at 2400 bit/s.
TEST_F(PtyCommTest, TheLineSettingsFoundAreRestoredOnClose)
{
    termios cooked = SlaveSettings();
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_oflag |= OPOST;
    ::cfsetspeed(&cooked, B9600);
    ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &cooked), 0);
    const termios before = SlaveSettings();
    comm.Open();
    const termios open = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&open), B2400);
    EXPECT_EQ(open.c_lflag & ICANON, 0u);
    comm.Close();
    EXPECT_TRUE(SameSettings(SlaveSettings(), before));
}

// /dev/tty, the controlling terminal, given as the port: a child of its own session takes a
// pseudo-terminal as its controlling terminal (a test may run without one) and opens it by
// that name.
TEST(PosixTerminalTest, TheControllingTerminalAsThePortIsGivenBackAsItWas)
{
    TLockFolder locks;
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::fchmod(slave, 0666), 0); // so that the ordinary user may try it
    const termios before = [&] {
        termios settings{};
        ::tcgetattr(slave, &settings);
        return settings;
    }();
    const pid_t child = ::fork();
    if (child == 0) {
        int result = 10;
        if (::setsid() >= 0 && ::ioctl(slave, TIOCSCTTY, 0) == 0) {
            TPosixCommPlatform platform{locks.path};
            TPlainUiLoop ui;
            TComm comm(ui, platform);
            comm.SetDeviceName("/dev/tty");
            comm.SetBaudRate(br2400);
            try {
                comm.Open();
                termios raw{};
                ::tcgetattr(slave, &raw);
                result = cfgetospeed(&raw) == B2400 && !(raw.c_lflag & ICANON) ? 0 : 11;
                comm.Close();
            } catch (const ECommError&) {
                result = 12;
            }
        }
        ::_exit(result);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no controlling terminal; 11: not set up; 12: refused";
    termios after{};
    ::tcgetattr(slave, &after);
    EXPECT_TRUE(SameSettings(after, before));
    EXPECT_EQ(OrdinaryOpener(::ttyname(slave)), "opened");
    EXPECT_TRUE(locks.Files().empty());
    ::close(slave);
    ::close(master);
}

// A program that ends with exit() while its port is open (Qt's X11 plugin does when the
// display goes away; the window is never taken down) still gives the port back: exclusive
// mode off, line settings as they were, no lock file.
TEST(PosixTerminalTest, APortStillOpenAtExitIsGivenBack)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::fchmod(slave, 0666), 0); // so that the ordinary user may try it
    const std::string path = ::ttyname(slave);
    termios before{};
    ::tcgetattr(slave, &before);
    const pid_t child = ::fork();
    if (child == 0) {
        TPlainUiLoop ui;
        auto* comm = new TComm(ui); // the program's own platform; never destroyed
        comm->SetDeviceName(path);
        try {
            comm->Open();
        } catch (const ECommError&) {
            ::_exit(12);
        }
        if (OrdinaryOpener(path) != std::strerror(EBUSY)) ::_exit(11);
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "11: not exclusive while open; 12: refused";
    EXPECT_EQ(OrdinaryOpener(path), "opened");
    termios after{};
    ::tcgetattr(slave, &after);
    EXPECT_TRUE(SameSettings(after, before));
    const std::string folder = DefaultLockDirectory();
    if (!folder.empty()) {
        EXPECT_FALSE(std::filesystem::exists(folder + "/" + LockFileName(path)));
    }
    ::close(slave);
    ::close(master);
}

TEST_F(PtyCommTest, ARegularFileIsRefused)
{
    char name[] = "/tmp/movarth-comm-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    comm.SetDeviceName(name);
    ExpectCommError([&] { comm.Open(); }, "Invalid device handle, access denied", -1);
    EXPECT_FALSE(comm.IsOpen());
    ::unlink(name);
}

TEST_F(PtyCommTest, ANameThatIsNoDeviceIsRefused)
{
    comm.SetDeviceName("/dev/movarth-no-such-port");
    ExpectCommError([&] { comm.Open(); }, "Error accessing specified device", ENOENT);
    comm.SetDeviceName("");
    ExpectCommError([&] { comm.Open(); }, "Error accessing specified device", ENOENT);
    EXPECT_FALSE(comm.IsOpen());
}

TEST_F(PtyCommTest, NonStandardBitRatesGoThroughTermios2)
{
    comm.Open();
    for (const auto& [rate, value] : {std::pair{br14400, 14400u},
                                      {br56000, 56000u},
                                      {br128000, 128000u},
                                      {br256000, 256000u},
                                      {br2400, 2400u}}) {
        comm.SetBaudRate(rate);
        std::uint32_t actual = 0;
        ASSERT_EQ(GetBaudRate(slave_, actual), 0);
        EXPECT_EQ(actual, value);
    }
}

TEST_F(PtyCommTest, ASettingTheLineCannotTakeFailsAndKeepsThePreviousOne)
{
    comm.Open();
    // The refused value stays stored, as for any line setting; each is undone before the next.
    ExpectCommError([&] { comm.SetStopbits(sb15); }, "Error updating DataControlBlock", EINVAL);
    comm.SetStopbits(sb10);
    ExpectCommError([&] { comm.SetDatabits(da4); }, "Error updating DataControlBlock", EINVAL);
    comm.SetDatabits(da8);
    // A pseudo-terminal only carries 8 bits without parity: refused, not silently dropped.
    ExpectCommError([&] { comm.SetParity(paEven); }, "Error updating DataControlBlock", EINVAL);
    const termios settings = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), B2400);
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
}

TEST_F(PtyCommTest, SoftwareFlowControlUsesTheEventCharacters)
{
    comm.SetFlowControl(fcSoftware);
    comm.Open();
    termios settings = SlaveSettings();
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(settings.c_cc[VSTART], 17);
    EXPECT_EQ(settings.c_cc[VSTOP], 19);
    comm.SetFlowControl(fcNone);
    settings = SlaveSettings();
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);
}

} // namespace
} // namespace movarth
