#include "comm/SerialComm.h"

#include "comm/SimulatedComm.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace movarth {
namespace {

using namespace std::chrono_literals;
using EOperation = TSimulatedCommPlatform::EOperation;

void ExpectCommError(const std::function<void()>& action, const std::string& message, int code)
{
    try {
        action();
        ADD_FAILURE() << "no ECommError, expected: " << message;
    } catch (const ECommError& error) {
        EXPECT_EQ(error.what(), message);
        EXPECT_EQ(error.ErrorCode(), code);
    }
}

class CommTest : public ::testing::Test
{
protected:
    CommTest() { platform.AddDevice("Com2"); }

    // The settings of Comm1 on the main window.
    void ConfigureAsComm1()
    {
        comm.SetReadTimeout(100);
        comm.SetWriteTimeout(100);
        comm.SetReadBufSize(128);
        comm.SetWriteBufSize(128);
        comm.SetBaudRate(br2400);
    }

    void Receive(std::initializer_list<std::uint8_t> bytes)
    {
        platform.Receive(std::vector<std::uint8_t>(bytes));
    }

    TPlainUiLoop ui;
    TSimulatedCommPlatform platform;
    TComm comm{ui, platform};
};

TEST(CommErrorTest, MessageIsTextCodeAndTrailingBlank)
{
    const ECommError error("Write error", 5);
    EXPECT_STREQ(error.what(), "Write error (Error: 5) ");
    EXPECT_EQ(error.ErrorCode(), 5);
    EXPECT_STREQ(ECommError("Port already assigned (open)", -1).what(),
                 "Port already assigned (open) (Error: -1) ");
}

TEST_F(CommTest, ClassDefaults)
{
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(comm.Handle(), InvalidCommHandle);
    EXPECT_EQ(comm.DeviceName(), "Com2");
    EXPECT_EQ(comm.ReadTimeout(), 1000);
    EXPECT_EQ(comm.WriteTimeout(), 1000);
    EXPECT_EQ(comm.ReadBufSize(), 4096);
    EXPECT_EQ(comm.WriteBufSize(), 2048);
    EXPECT_EQ(comm.MonitorEvents(), AllCommEvents);
    EXPECT_EQ(comm.BaudRate(), br9600);
    EXPECT_EQ(comm.Parity(), paNone);
    EXPECT_EQ(comm.Stopbits(), sb10);
    EXPECT_EQ(comm.Databits(), da8);
    EXPECT_EQ(comm.Options(), TCommOptions{});
    EXPECT_EQ(comm.FlowControl(), fcDefault);
    EXPECT_EQ(comm.EventChars().XonChar(), 17);
    EXPECT_EQ(comm.EventChars().XoffChar(), 19);
    EXPECT_EQ(comm.EventChars().ErrorChar(), 0);
    EXPECT_EQ(comm.EventChars().EofChar(), 0);
    EXPECT_EQ(comm.EventChars().EvtChar(), 0);
}

// The four properties that can change only while the port is closed.
struct TClosedOnlySetter
{
    const char* name;
    std::function<void(TCustomComm&)> setSame;
    std::function<void(TCustomComm&)> setOther;
    std::function<bool(const TCustomComm&)> isOther;
};

TEST_F(CommTest, ClosedOnlyPropertiesRefuseANewValueWhileOpen)
{
    const std::vector<TClosedOnlySetter> setters{
        {"DeviceName", [](TCustomComm& c) { c.SetDeviceName("Com2"); },
         [](TCustomComm& c) { c.SetDeviceName("com2"); }, // letter case counts
         [](const TCustomComm& c) { return c.DeviceName() == "com2"; }},
        {"MonitorEvents", [](TCustomComm& c) { c.SetMonitorEvents(AllCommEvents); },
         [](TCustomComm& c) { c.SetMonitorEvents({evRxChar}); },
         [](const TCustomComm& c) { return c.MonitorEvents() == TCommEventTypes{evRxChar}; }},
        {"ReadBufSize", [](TCustomComm& c) { c.SetReadBufSize(4096); },
         [](TCustomComm& c) { c.SetReadBufSize(128); },
         [](const TCustomComm& c) { return c.ReadBufSize() == 128; }},
        {"WriteBufSize", [](TCustomComm& c) { c.SetWriteBufSize(2048); },
         [](TCustomComm& c) { c.SetWriteBufSize(128); },
         [](const TCustomComm& c) { return c.WriteBufSize() == 128; }},
    };
    comm.Open();
    for (const auto& setter : setters) {
        SCOPED_TRACE(setter.name);
        EXPECT_NO_THROW(setter.setSame(comm));
        ExpectCommError([&] { setter.setOther(comm); }, "Port already assigned (open) (Error: -1) ",
                        -1);
        EXPECT_FALSE(setter.isOther(comm));
    }
    comm.Close();
    for (const auto& setter : setters) {
        SCOPED_TRACE(setter.name);
        setter.setOther(comm);
        EXPECT_TRUE(setter.isOther(comm));
    }
}

TEST_F(CommTest, OpenOnAnOpenPortFailsAndCloseOnAClosedOneDoesNothing)
{
    EXPECT_NO_THROW(comm.Close());
    comm.Open();
    const TCommHandle handle = comm.Handle();
    ExpectCommError([&] { comm.Open(); }, "Port already assigned (open) (Error: -1) ", -1);
    EXPECT_EQ(comm.Handle(), handle);
    comm.Close();
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_FALSE(platform.IsLineOpen());
    EXPECT_NO_THROW(comm.Close());
}

TEST_F(CommTest, OpenRunsItsStepsInOrderAndCloseFinishesWithPurgeThenClose)
{
    comm.Open();
    comm.Close();
    EXPECT_THAT(platform.Calls(),
                ::testing::ElementsAre("OpenDevice", "IsCharacterDevice", "SetCommMask",
                                       "SetCommTimeouts", "GetCommState", "SetCommState",
                                       "SetupComm", "PurgeComm", "CloseDevice"));
    EXPECT_EQ(platform.PurgeFlags(), 0x000Fu);
}

struct TOpenFailure
{
    const char* name;
    std::function<void(TSimulatedCommPlatform&, TCustomComm&)> arrange;
    std::string message;
    int code;
};

// Whichever step fails, the port is left closed: a failure after the device opened gives the
// device back (and its lock with it) before the error is seen.
TEST_F(CommTest, EachOpenFailureRaisesItsTextAndLeavesThePortClosed)
{
    const std::vector<TOpenFailure> failures{
        {"no such device", [](auto&, TCustomComm& c) { c.SetDeviceName("Com9"); },
         "Error accessing specified device (Error: 2) ", ENOENT},
        {"device refuses",
         [](TSimulatedCommPlatform& p, auto&) { p.Fail(EOperation::OpenDevice, EACCES); },
         "Error accessing specified device (Error: 13) ", EACCES},
        {"no character device",
         [](TSimulatedCommPlatform& p, TCustomComm& c) {
             p.AddDevice("schedule.txt", false);
             c.SetDeviceName("schedule.txt");
         },
         "Invalid device handle, access denied (Error: -1) ", -1},
        {"timeouts",
         [](TSimulatedCommPlatform& p, auto&) { p.Fail(EOperation::SetCommTimeouts, EINVAL); },
         "Error updating CommTimeouts (Error: 22) ", EINVAL},
        {"line settings",
         [](TSimulatedCommPlatform& p, auto&) { p.Fail(EOperation::SetCommState, EINVAL); },
         "Error updating DataControlBlock (Error: 22) ", EINVAL},
        {"queues", [](TSimulatedCommPlatform& p, auto&) { p.Fail(EOperation::SetupComm, ENOMEM); },
         "Error initializing Read/Write Buffers (Error: 12) ", ENOMEM},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.name);
        TSimulatedCommPlatform device;
        device.AddDevice("Com2");
        TComm port(ui, device);
        int received = 0;
        port.OnRxChar = [&](TCustomComm&, int count) { received += count; };
        failure.arrange(device, port);

        ExpectCommError([&] { port.Open(); }, failure.message, failure.code);
        EXPECT_FALSE(port.IsOpen());
        EXPECT_FALSE(device.IsLineOpen());
        EXPECT_EQ(device.OpenHandleCount(), 0);
        device.Receive(std::vector<std::uint8_t>{0x55}); // no event thread is left to report it
        ui.RunFor(50ms);
        EXPECT_EQ(received, 0);

        device.Fail(EOperation::SetCommTimeouts, 0); // the same name opens once the cause is gone
        device.Fail(EOperation::SetCommState, 0);
        device.Fail(EOperation::SetupComm, 0);
        device.Fail(EOperation::OpenDevice, 0);
        if (port.DeviceName() == "Com2") {
            EXPECT_NO_THROW(port.Open());
            EXPECT_TRUE(port.IsOpen());
        }
    }
}

TEST_F(CommTest, AnotherOpenerOfAHeldDeviceIsRefused)
{
    comm.Open();
    TComm second(ui, platform);
    ExpectCommError([&] { second.Open(); }, "Error accessing specified device (Error: 16) ", EBUSY);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_TRUE(comm.IsOpen());
}

TEST_F(CommTest, Comm1SettingsReachTheDevice)
{
    ConfigureAsComm1();
    comm.Open();
    const TDeviceControlBlock block = platform.CommState();
    EXPECT_EQ(block.BaudRate, 2400u);
    EXPECT_EQ(block.ByteSize, 8);
    EXPECT_EQ(block.Parity, 0);
    EXPECT_EQ(block.StopBits, 0);
    EXPECT_EQ(block.XonChar, 17);
    EXPECT_EQ(block.XoffChar, 19);
    EXPECT_EQ(block.XonLim, 32);
    EXPECT_EQ(block.XoffLim, 32);
    EXPECT_EQ(platform.Timeouts(), (TCommTimeouts{MAXDWORD, 0, 0, 0, 0}));
    EXPECT_EQ(platform.InQueueSize(), 128);
    EXPECT_EQ(platform.OutQueueSize(), 128);
    EXPECT_EQ(platform.EventMask(), 0x01FFu);
}

TEST_F(CommTest, XonXoffLimitsAreAQuarterOfTheReceiveQueue)
{
    for (const auto& [size, limit] : {std::pair{128, 32}, {4096, 1024}, {130, 32}}) {
        comm.SetReadBufSize(size);
        comm.Open();
        EXPECT_EQ(platform.CommState().XonLim, limit) << size;
        EXPECT_EQ(platform.CommState().XoffLim, limit) << size;
        comm.Close();
    }
}

TEST_F(CommTest, EventMaskIsTheOrOfTheMonitoredEvents)
{
    comm.SetMonitorEvents({evRxChar, evTxEmpty, evBreak});
    comm.Open();
    EXPECT_EQ(platform.EventMask(), EV_RXCHAR | EV_TXEMPTY | EV_BREAK);
}

struct TFlagsCase
{
    std::uint32_t device;
    TFlowControl flow;
    TCommOptions options;
    std::uint32_t expected;
};

TEST_F(CommTest, FlowControlAndOptionsOnTheFlagsWord)
{
    const std::vector<TFlagsCase> cases{
        {0x3CF3, fcNone, {coParityCheck}, 0x0003},
        {0x0CC3, fcCTS, {}, 0x2005}, // adds 0x2004, clears the five option flags
        {0x1011, fcCTS, {}, 0x3015}, // bits already set in the RTS field stay set
        {0x0011, fcDTR, {}, 0x0039},
        {0x0001, fcSoftware, {coIgnoreXOff}, 0x0381},
        {0x1313, fcDefault, {}, 0x1311}, // only the option flags change
        {0x0001,
         fcDefault,
         {coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip},
         0x0CC3},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.device);
        TDeviceControlBlock reported;
        reported.Flags = test.device;
        platform.SetDeviceState(reported);
        comm.SetFlowControl(test.flow);
        comm.SetOptions(test.options);
        comm.Open();
        EXPECT_EQ(platform.CommState().Flags, test.expected) << test.flow;
        comm.Close();
    }
}

TEST_F(CommTest, LineSettingsMapOntoTheControlBlock)
{
    comm.Open();
    const std::array<std::uint32_t, 15> rates{110,   300,   600,    1200,   2400,
                                              4800,  9600,  14400,  19200,  38400,
                                              56000, 57600, 115200, 128000, 256000};
    for (int rate = br256000; rate >= br110; --rate) { // starting away from the default
        comm.SetBaudRate(static_cast<TBaudrate>(rate));
        EXPECT_EQ(platform.CommState().BaudRate, rates[static_cast<std::size_t>(rate)]);
    }
    for (int parity = paSpace; parity >= paNone; --parity) {
        comm.SetParity(static_cast<TParity>(parity));
        EXPECT_EQ(platform.CommState().Parity, parity);
    }
    for (int stop = sb20; stop >= sb10; --stop) {
        comm.SetStopbits(static_cast<TStopbits>(stop));
        EXPECT_EQ(platform.CommState().StopBits, stop);
    }
    for (int size = da4; size <= da8; ++size) {
        comm.SetDatabits(static_cast<TDatabits>(size));
        EXPECT_EQ(platform.CommState().ByteSize, size + 4);
    }
}

TEST_F(CommTest, ALineSettingAppliesAtOnceWhileOpenAndAtTheNextOpenWhileClosed)
{
    comm.Open();
    const int applied = platform.SetCommStateCount();
    comm.SetBaudRate(br9600); // unchanged: nothing happens
    EXPECT_EQ(platform.SetCommStateCount(), applied);
    comm.SetBaudRate(br2400);
    EXPECT_EQ(platform.SetCommStateCount(), applied + 1);
    EXPECT_EQ(platform.CommState().BaudRate, 2400u);
    comm.Close();

    comm.SetBaudRate(br19200);
    EXPECT_EQ(platform.SetCommStateCount(), applied + 1);
    EXPECT_EQ(comm.BaudRate(), br19200);
    comm.Open();
    EXPECT_EQ(platform.CommState().BaudRate, 19200u);
}

TEST_F(CommTest, AFailedSettingRaisesWithThePlatformCode)
{
    comm.Open();
    platform.Fail(EOperation::SetCommState, EINVAL);
    ExpectCommError([&] { comm.SetStopbits(sb15); }, "Error updating DataControlBlock (Error: 22) ",
                    EINVAL);
    EXPECT_TRUE(comm.IsOpen());
}

TEST_F(CommTest, SpecialCharactersAlwaysUpdateAndAssignDoesNot)
{
    comm.Open();
    const int applied = platform.SetCommStateCount();
    comm.EventChars().SetXonChar(17); // the same value still updates
    EXPECT_EQ(platform.SetCommStateCount(), applied + 1);
    comm.EventChars().SetEvtChar('\n');
    EXPECT_EQ(platform.CommState().EvtChar, '\n');

    TCommEventChars source(nullptr);
    source.SetXonChar(1);
    source.SetXoffChar(2);
    source.SetErrorChar(3);
    source.SetEofChar(4);
    source.SetEvtChar(5);
    comm.EventChars().Assign(source);
    EXPECT_EQ(platform.SetCommStateCount(), applied + 2);
    EXPECT_EQ(comm.EventChars().XoffChar(), 2);
    EXPECT_EQ(comm.EventChars().EvtChar(), 5);
}

TEST_F(CommTest, ReadAndWriteMoveBytes)
{
    comm.Open();
    const std::array<std::uint8_t, 3> frame{0x00, 0x99, 0x94};
    EXPECT_EQ(comm.Write(frame.data(), 3), 3);
    EXPECT_THAT(platform.Written(), ::testing::ElementsAre(0x00, 0x99, 0x94));

    std::array<std::uint8_t, 128> buffer{};
    EXPECT_EQ(comm.Read(buffer.data(), 128), 0); // nothing received
    Receive({0x55, 0xAA, 0x55});
    EXPECT_EQ(comm.Read(buffer.data(), 2), 2);
    EXPECT_EQ(buffer[1], 0xAA);
    EXPECT_EQ(comm.Read(buffer.data(), 128), 1);
}

TEST_F(CommTest, ATransferThatDoesNotCompleteGivesMinusOne)
{
    comm.Open();
    std::uint8_t byte = 0x55;
    platform.StallWrites(true);
    EXPECT_EQ(comm.Write(&byte, 1), -1);
    platform.StallReads(true);
    Receive({0x55});
    EXPECT_EQ(comm.Read(&byte, 1), -1);
}

TEST_F(CommTest, AFailedTransferRaisesAndReleasesTheLock)
{
    comm.Open();
    std::uint8_t byte = 0x55;
    platform.Fail(EOperation::ReadFile, EIO);
    ExpectCommError([&] { comm.Read(&byte, 1); }, "Read error (Error: 5) ", EIO);
    platform.Fail(EOperation::WriteFile, EIO);
    ExpectCommError([&] { comm.Write(&byte, 1); }, "Write error (Error: 5) ", EIO);
    platform.Fail(EOperation::WriteFile, 0);
    // A write from another thread would block forever on a lock left held.
    auto other = std::async(std::launch::async, [&] { return comm.Write(&byte, 1); });
    ASSERT_EQ(other.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(other.get(), 1);
}

TEST_F(CommTest, TransfersOnAClosedPortOrWithABadCountRaise)
{
    std::uint8_t byte = 0;
    ExpectCommError([&] { comm.Write(&byte, 1); }, "Write error (Error: 9) ", EBADF);
    ExpectCommError([&] { comm.Read(&byte, 1); }, "Read error (Error: 9) ", EBADF);
    comm.Open();
    ExpectCommError([&] { comm.Write(&byte, -1); }, "Write error (Error: 22) ", EINVAL);
    ExpectCommError([&] { comm.Read(nullptr, 1); }, "Read error (Error: 22) ", EINVAL);
}

TEST_F(CommTest, ReceivedCharactersReachOnRxCharOnTheUiThread)
{
    std::vector<std::uint8_t> got;
    std::thread::id where;
    comm.OnRxChar = [&](TCustomComm& sender, int count) {
        where = std::this_thread::get_id();
        std::array<std::uint8_t, 128> buffer{};
        const int read = sender.Read(buffer.data(), std::min(count, 128));
        got.insert(got.end(), buffer.begin(), buffer.begin() + read);
    };
    comm.Open();
    Receive({0x55});
    ASSERT_TRUE(ui.RunUntil([&] { return got.size() == 1; }, 5s));
    EXPECT_EQ(got[0], 0x55);
    EXPECT_EQ(where, std::this_thread::get_id());
}

TEST_F(CommTest, OneEventWithEveryBitCallsTheHandlersInTheirOrder)
{
    std::vector<std::string> calls;
    const auto note = [&](const char* name) {
        return [&calls, name](TCustomComm&) { calls.emplace_back(name); };
    };
    comm.OnBreak = note("Break");
    comm.OnCts = note("Cts");
    comm.OnDsr = note("Dsr");
    comm.OnError = [&](TCustomComm&, int errors) {
        calls.push_back("Error " + std::to_string(errors));
    };
    comm.OnRing = note("Ring");
    comm.OnRlsd = note("Rlsd");
    comm.OnRxChar = [&](TCustomComm&, int count) {
        calls.push_back("RxChar " + std::to_string(count));
    };
    comm.OnRxFlag = note("RxFlag");
    comm.OnTxEmpty = note("TxEmpty");

    Receive({1, 2}); // while closed: queued, no event yet
    platform.SetErrors(CE_FRAME | CE_OVERRUN);
    comm.Open();
    platform.RaiseEvent(0x01FF);
    ASSERT_TRUE(ui.RunUntil([&] { return calls.size() == 9; }, 5s));
    EXPECT_THAT(calls, ::testing::ElementsAre("Break", "Cts", "Dsr", "Error 10", "Ring", "Rlsd",
                                              "RxChar 2", "RxFlag", "TxEmpty"));
}

TEST_F(CommTest, AReceivedCharacterEventWithAnEmptyQueueCallsNoHandler)
{
    int rxCalls = 0;
    bool breakSeen = false;
    comm.OnRxChar = [&](TCustomComm&, int) { ++rxCalls; };
    comm.OnBreak = [&](TCustomComm&) { breakSeen = true; };
    comm.Open();
    platform.RaiseEvent(EV_RXCHAR);
    platform.RaiseEvent(EV_BREAK); // shows that the event above has been handled
    ASSERT_TRUE(ui.RunUntil([&] { return breakSeen; }, 5s));
    EXPECT_EQ(rxCalls, 0);
}

TEST_F(CommTest, UnmonitoredEventsAreNotReported)
{
    int calls = 0;
    comm.OnBreak = [&](TCustomComm&) { ++calls; };
    comm.OnRxChar = [&](TCustomComm&, int) { ++calls; };
    comm.SetMonitorEvents({evRxChar});
    comm.Open();
    platform.RaiseEvent(EV_BREAK);
    Receive({7});
    ASSERT_TRUE(ui.RunUntil([&] { return calls > 0; }, 5s));
    ui.RunFor(50ms);
    EXPECT_EQ(calls, 1);
}

TEST_F(CommTest, NoEventReachesTheComponentAfterClose)
{
    int calls = 0;
    comm.OnRxChar = [&](TCustomComm&, int) { ++calls; };
    comm.Open();
    Receive({1});
    std::this_thread::sleep_for(50ms); // the event thread is now blocked handing the event over
    const auto start = std::chrono::steady_clock::now();
    comm.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    Receive({2});
    ui.RunFor(100ms);
    EXPECT_EQ(calls, 0);
}

TEST_F(CommTest, CloseFromInsideAHandlerEndsThatEventAndAllowsANewOpening)
{
    int rxCalls = 0;
    bool flagCalled = false;
    comm.OnRxChar = [&](TCustomComm& sender, int) {
        ++rxCalls;
        sender.Close();
    };
    comm.OnRxFlag = [&](TCustomComm&) { flagCalled = true; };
    comm.Open();
    Receive({1});
    platform.RaiseEvent(EV_RXFLAG);
    ASSERT_TRUE(ui.RunUntil([&] { return rxCalls == 1 && !comm.IsOpen(); }, 5s));
    ui.RunFor(50ms);
    EXPECT_FALSE(flagCalled); // the port closed before this handler's turn
    EXPECT_FALSE(platform.IsLineOpen());

    comm.OnRxChar = [&](TCustomComm&, int) { ++rxCalls; };
    comm.Open();
    Receive({2});
    EXPECT_TRUE(ui.RunUntil([&] { return rxCalls == 2; }, 5s));
}

TEST_F(CommTest, AHandlerThatRaisesEndsDeliveryButTheComponentStaysUsable)
{
    int calls = 0;
    comm.OnRxChar = [&](TCustomComm&, int) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    comm.Open();
    Receive({1});
    ASSERT_TRUE(ui.RunUntil([&] { return calls == 1; }, 5s));
    Receive({2});
    ui.RunFor(100ms);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(comm.IsOpen());
    std::uint8_t byte = 0x55;
    EXPECT_EQ(comm.Write(&byte, 1), 1);
    comm.Close();
    EXPECT_FALSE(platform.IsLineOpen());
}

TEST_F(CommTest, AHungUpLineClosesThePortAndReportsTheLossOnce)
{
    std::vector<std::string> losses;
    bool openInHandler = true;
    comm.OnDeviceLost = [&](TCustomComm& sender, const ECommError& error) {
        losses.push_back(error.what());
        openInHandler = sender.IsOpen();
    };
    comm.Open();
    platform.HangUp();
    ASSERT_TRUE(ui.RunUntil([&] { return !losses.empty(); }, 5s));
    ui.RunFor(100ms);
    EXPECT_THAT(losses, ::testing::ElementsAre("Device removed or line hung up (Error: 5) "));
    EXPECT_FALSE(openInHandler); // red means not held: the port is closed before the handler
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_FALSE(platform.IsLineOpen());
    EXPECT_LE(platform.WaitCount(), 3); // the thread ended instead of retrying
    comm.Close();                       // nothing left to close
    EXPECT_FALSE(comm.IsOpen());
}

// A handler may destroy the port itself (the window that carries it closes): the destruction
// must not wait for the event thread, which is blocked in the very hand-over that runs the
// handler, and nothing may touch the destroyed component afterwards (the sanitizers see to it).
TEST_F(CommTest, DestructionFromInsideItsOwnHandlerFinishesPromptly)
{
    auto port = std::make_unique<TComm>(ui, platform);
    bool laterHandlerCalled = false;
    port->OnRxChar = [&](TCustomComm&, int) { port.reset(); };
    port->OnRxFlag = [&](TCustomComm&) { laterHandlerCalled = true; };
    port->Open();
    Receive({1});
    platform.RaiseEvent(EV_RXFLAG);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ui.RunUntil([&] { return port == nullptr; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ui.RunFor(50ms);
    EXPECT_FALSE(laterHandlerCalled);
    EXPECT_FALSE(platform.IsLineOpen());
}

TEST_F(CommTest, DestructionFromTheLossHandlerFinishesPromptly)
{
    auto port = std::make_unique<TComm>(ui, platform);
    port->OnDeviceLost = [&](TCustomComm&, const ECommError&) { port.reset(); };
    port->Open();
    platform.HangUp();
    EXPECT_TRUE(ui.RunUntil([&] { return port == nullptr; }, 5s));
    EXPECT_FALSE(platform.IsLineOpen());
}

// Read and Write may come from any thread, while the owner opens and closes the port.
TEST_F(CommTest, TransfersOnAnotherThreadRaceNeitherOpenNorClose)
{
    std::atomic<bool> done{false};
    std::thread writer([&] {
        const std::uint8_t byte = 0x55;
        while (!done) {
            try {
                if (comm.IsOpen()) comm.Write(&byte, 1);
            } catch (const ECommError&) {
                // closed between the test and the write
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        comm.Open();
        comm.Close();
    }
    done = true;
    writer.join();
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(platform.OpenHandleCount(), 0);
}

TEST_F(CommTest, DestructionClosesTheDevice)
{
    {
        TComm port(ui, platform);
        port.Open();
        EXPECT_TRUE(platform.IsLineOpen());
    }
    EXPECT_FALSE(platform.IsLineOpen());
}

TEST_F(CommTest, AScriptedOtherEndAnswersEachWrite)
{
    platform.SetOnWrite([&](std::span<const std::uint8_t> bytes) {
        if (bytes.size() == 1 && bytes[0] == 0x55)
            platform.Receive(std::vector<std::uint8_t>{0x55});
    });
    std::uint8_t answer = 0;
    comm.OnRxChar = [&](TCustomComm& sender, int count) {
        if (count == 1) sender.Read(&answer, 1);
    };
    comm.Open();
    const std::uint8_t handshake = 0x55;
    comm.Write(&handshake, 1);
    EXPECT_TRUE(ui.RunUntil([&] { return answer == 0x55; }, 5s));
}

} // namespace
} // namespace movarth
