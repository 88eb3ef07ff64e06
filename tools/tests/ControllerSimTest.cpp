#include "tools/ControllerSim.h"

#include "tools/SimLine.h"

#include <fcntl.h>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace movarth::sim {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

const TFrame kFrame1{0x00, 0x08, 0x30, 0x00, 0x00, 0x45, 0x30, 0x13};
const TFrame kFrame2{0x00, 0x23, 0x59, 0x59, 0x23, 0x59, 0x59, 0x82};

// Feeds the controller as the computer would, one millisecond between bytes, and keeps what
// it answers.
class ControllerSimTest : public ::testing::Test
{
protected:
    void Make(TAnswerPolicy policy, TTime byteTime = TTime::zero())
    {
        controller.emplace(std::move(policy), byteTime);
        controller->SetLog([this](TTime, const std::string& text) { log.push_back(text); });
        controller->SetScheduleReport([this](int number, const std::vector<TEntry>& entries) {
            reports.push_back(FormatSchedule(number, entries));
        });
    }
    // The answer to the bytes, or empty when there was none.
    TBytes Send(const std::vector<std::uint8_t>& bytes)
    {
        TBytes answer;
        for (auto byte : bytes) {
            clock += 1ms;
            if (auto a = controller->Receive(byte, clock)) {
                answer.insert(answer.end(), a->bytes.begin(), a->bytes.end());
                lastDue = a->due;
            }
        }
        return answer;
    }
    TBytes SendFrame(const TFrame& frame) { return Send(TBytes(frame.begin(), frame.end())); }

    std::optional<TControllerSim> controller;
    TTime clock{};
    TTime lastDue{};
    std::vector<std::string> log;
    std::vector<std::string> reports;
};

TEST(FrameCheck, FindsWhatIsWrongWithAFrame)
{
    EXPECT_EQ(Checksum(kFrame1), 0x13);
    EXPECT_EQ(Checksum(kConfirmation), 0x94);
    EXPECT_EQ(FrameFault(kFrame1), "");
    EXPECT_EQ(FrameFault(kConfirmation), "");
    TFrame frame = kFrame1;
    frame[7] = 0x14;
    EXPECT_EQ(FrameFault(frame), "checksum 14, expected 13");
    frame = kFrame1;
    frame[2] = 0x3A;
    EXPECT_THAT(FrameFault(frame), HasSubstr("not BCD"));
    frame = kFrame1;
    frame[0] = 0x01;
    EXPECT_THAT(FrameFault(frame), HasSubstr("first byte"));
}

TEST(FrameCheck, DecodesAnEntryAndItsEndTime)
{
    const TEntry entry = DecodeEntry(kFrame2);
    EXPECT_EQ(entry.start, "23:59:59");
    EXPECT_EQ(entry.length, "23:59:59");
    EXPECT_EQ(entry.end, "23:59:58");
    EXPECT_EQ(FormatSchedule(1, {DecodeEntry(kFrame1)}),
              "schedule 1: 1 entries\n"
              "   #  start     length    end       frame\n"
              "   1  08:30:00  00:45:30  09:15:30  00 08 30 00 00 45 30 13\n");
}

TEST_F(ControllerSimTest, AcknowledgesAWholeDownloadAndReportsTheSchedule)
{
    Make({});
    EXPECT_EQ(Send({kAck}), TBytes{kAck});
    EXPECT_EQ(SendFrame(kFrame1), TBytes{kAck});
    EXPECT_EQ(SendFrame(kFrame2), TBytes{kAck});
    EXPECT_EQ(controller->CompleteSchedules(), 0);
    EXPECT_EQ(SendFrame(kConfirmation), TBytes{kAck});
    EXPECT_EQ(controller->CompleteSchedules(), 1);
    ASSERT_EQ(controller->LastSchedule().size(), 2u);
    EXPECT_EQ(controller->LastSchedule()[1].frame, kFrame2);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_THAT(reports[0], HasSubstr("   2  23:59:59  23:59:59  23:59:58"));

    // A second download starts with the handshake again.
    EXPECT_EQ(SendFrame(kFrame1), TBytes{}) << "no frame is taken before the handshake";
    EXPECT_EQ(Send({kAck}), TBytes{kAck});
    EXPECT_EQ(SendFrame(kFrame2), TBytes{kAck});
    EXPECT_EQ(SendFrame(kConfirmation), TBytes{kAck});
    EXPECT_EQ(controller->CompleteSchedules(), 2);
    EXPECT_EQ(controller->LastSchedule().size(), 1u);
}

TEST_F(ControllerSimTest, RefusesAFrameWithAWrongChecksum)
{
    Make({});
    Send({kAck});
    TFrame bad = kFrame1;
    bad[7] = 0x31;
    EXPECT_EQ(SendFrame(bad), TBytes{kRefuse});
    EXPECT_EQ(controller->BadFrames(), 1);
    EXPECT_EQ(SendFrame(kFrame1), TBytes{kAck});
    EXPECT_EQ(SendFrame(kConfirmation), TBytes{kAck});
    EXPECT_EQ(controller->LastSchedule().size(), 1u);
}

TEST_F(ControllerSimTest, APolicyShapesEachAnswer)
{
    TAnswerPolicy policy;
    policy.refuseHandshake = 2;
    policy.refuseFrame[2] = 1;
    policy.doubleAnswer.insert(1);
    policy.badAnswer[3] = 0x00;
    Make(policy);
    EXPECT_EQ(Send({kAck}), TBytes{kRefuse});
    EXPECT_EQ(Send({kAck}), TBytes{kRefuse});
    EXPECT_EQ(Send({kAck}), TBytes{kAck});
    EXPECT_EQ(controller->HandshakeBytes(), 3);
    EXPECT_EQ(SendFrame(kFrame1), (TBytes{kAck, kAck}));
    EXPECT_EQ(SendFrame(kFrame2), TBytes{kRefuse});
    EXPECT_EQ(SendFrame(kFrame2), TBytes{kAck});
    EXPECT_EQ(SendFrame(kConfirmation), TBytes{0x00}) << "frame 3 is the confirmation here";
    EXPECT_EQ(SendFrame(kConfirmation), TBytes{kAck});
    EXPECT_EQ(controller->CompleteSchedules(), 1);
}

TEST_F(ControllerSimTest, SilentAfterAFrameAnswersNothingMore)
{
    TAnswerPolicy policy;
    policy.silentAfter = 1;
    Make(policy);
    Send({kAck});
    EXPECT_EQ(SendFrame(kFrame1), TBytes{kAck});
    EXPECT_EQ(SendFrame(kFrame2), TBytes{});
    EXPECT_EQ(Send({kAck}), TBytes{}) << "not even a new handshake";

    policy = {};
    policy.silent = true;
    Make(policy);
    EXPECT_EQ(Send({kAck, kAck, kAck}), TBytes{});
    EXPECT_EQ(controller->HandshakeBytes(), 3);
}

TEST_F(ControllerSimTest, AHandshakeByteAfterFramesStartsTheDownloadAnew)
{
    Make({});
    Send({kAck});
    EXPECT_EQ(SendFrame(kFrame1), TBytes{kAck});
    // The computer gave up and starts over: a handshake byte where a frame would begin.
    EXPECT_EQ(Send({kAck}), TBytes{kAck});
    EXPECT_EQ(SendFrame(kFrame2), TBytes{kAck});
    EXPECT_EQ(SendFrame(kConfirmation), TBytes{kAck});
    ASSERT_EQ(controller->LastSchedule().size(), 1u);
    EXPECT_EQ(controller->LastSchedule()[0].frame, kFrame2);
}

// Handshake bytes after an acknowledged handshake, before any frame: those that crossed the
// acknowledgement are ignored; once the computer can no longer be reading it, a handshake
// byte is answered as a new exchange, whatever came before.
TEST_F(ControllerSimTest, HandshakeBytesAfterTheAcknowledgement)
{
    struct TCase
    {
        const char* name;
        std::chrono::milliseconds delay;
        // Each later handshake byte: its time after the first, and whether it is answered.
        std::vector<std::pair<TTime, bool>> later;
    };
    const TCase cases[] = {
        {"one byte crossed the acknowledgement", 0ms, {{50ms, false}}},
        {"the acknowledgement was lost (it came with another byte): the computer goes on asking",
         0ms,
         {{50ms, false}, {100ms, false}, {150ms, false}, {200ms, true}, {250ms, false}}},
        {"an answer 5 s late came after the computer had given up; it sends again",
         5000ms,
         {{50ms, false}, {4950ms, false}, {5000ms, false}, {5150ms, false}, {6000ms, true}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TAnswerPolicy policy;
        policy.delay = c.delay;
        Make(policy);
        const TTime first = clock + 1ms;
        EXPECT_EQ(Send({kAck}), TBytes{kAck});
        for (const auto& [after, answered] : c.later) {
            clock = first + after - 1ms;
            EXPECT_EQ(Send({kAck}), answered ? TBytes{kAck} : TBytes{})
                << std::chrono::duration_cast<std::chrono::milliseconds>(after).count() << " ms";
        }
        // Whatever was answered last, the frames are taken now.
        clock += c.delay + 1ms;
        EXPECT_EQ(SendFrame(kFrame1), TBytes{kAck});
        EXPECT_EQ(SendFrame(kConfirmation), TBytes{kAck});
        EXPECT_EQ(controller->CompleteSchedules(), 1);
    }
}

TEST_F(ControllerSimTest, AnswersAreDueAtTheLinePaceAfterTheDelay)
{
    TAnswerPolicy policy;
    policy.delay = 100ms;
    Make(policy, kLineByteTime);
    Send({kAck}); // arrives at 1 ms
    EXPECT_EQ(lastDue, 1ms + 100ms + kLineByteTime);
    // Handshake bytes that come while the answer is still pending are not answered again.
    EXPECT_EQ(Send({kAck}), TBytes{});
    clock = 200ms;
    SendFrame(kFrame1); // last byte at 208 ms
    EXPECT_EQ(lastDue, 208ms + 100ms + kLineByteTime);
}

TEST_F(ControllerSimTest, AFrameInterruptedByAGapIsDropped)
{
    Make({});
    Send({kAck});
    Send({0x00, 0x08, 0x30});
    clock += 200ms;
    EXPECT_EQ(SendFrame(kFrame1), TBytes{kAck});
    EXPECT_EQ(controller->BadFrames(), 0);
}

// The tool's end of the simulator's pseudo-terminal.
class TToolEnd
{
public:
    explicit TToolEnd(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
    }
    ~TToolEnd() { Close(); }
    TToolEnd(const TToolEnd&) = delete;
    TToolEnd& operator=(const TToolEnd&) = delete;

    bool Write(const TBytes& bytes) const
    {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool WriteFrame(const TFrame& frame) const { return Write(TBytes(frame.begin(), frame.end())); }
    // The computer's side of a one-entry download up to its confirmation frame, which is
    // written but whose answer is left unread; false when an earlier answer, each awaited
    // for `answerWithin`, was not the acknowledgement.
    bool SendOneEntryUpToConfirmation(std::chrono::milliseconds answerWithin) const
    {
        return Write(TBytes{kAck}) && Read(answerWithin) == TBytes{kAck} && WriteFrame(kFrame1) &&
               Read(answerWithin) == TBytes{kAck} && WriteFrame(kConfirmation);
    }
    // What has arrived once something has, within `timeout`.
    TBytes Read(std::chrono::milliseconds timeout) const
    {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return {};
        std::uint8_t buffer[64];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        return n > 0 ? TBytes(buffer, buffer + n) : TBytes{};
    }
    void Close()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// RunController on its own thread, on a new pseudo-terminal, answering at once; stopped when
// the test ends.
class SimRunTest : public ::testing::Test
{
protected:
    ~SimRunTest() override
    {
        stop = true;
        if (result.valid()) result.wait();
        if (log) std::fclose(log);
    }
    void Start()
    {
        options.pacing = false;
        result = std::async(std::launch::async,
                            [this] { return RunController(line, options, nullptr, log, stop); });
    }
    // The log so far.
    std::string Log() const
    {
        std::string text;
        char buffer[4096];
        off_t at = 0;
        for (ssize_t n; (n = ::pread(::fileno(log), buffer, sizeof buffer, at)) > 0; at += n)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    bool LogShows(const std::string& text, std::chrono::milliseconds timeout) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    TSimLine line;
    TSimOptions options;
    std::atomic<bool> stop{false};
    std::FILE* log = std::tmpfile();
    std::future<int> result;
};

TEST_F(SimRunTest, OnceWaitsForTheToolToCloseItsEndBeforeEnding)
{
    options.once = true;
    options.timeout = 60s;
    Start();
    TToolEnd tool(line.Path());
    ASSERT_TRUE(tool.SendOneEntryUpToConfirmation(5s)) << Log();
    ASSERT_TRUE(LogShows("confirmation frame 2", 5s)) << Log();

    // The last answer lies unread for longer than a fixed wait would allow.
    EXPECT_EQ(result.wait_for(1500ms), std::future_status::timeout) << Log();
    EXPECT_EQ(tool.Read(5s), TBytes{kAck}) << "the answer survived the wait";
    tool.Close();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << "it ends once the tool let go";
    EXPECT_EQ(result.get(), 0);
}

TEST_F(SimRunTest, OnceEndsAtTheTimeoutWhenTheToolKeepsItsEndOpen)
{
    options.once = true;
    options.timeout = 2s;
    Start();
    TToolEnd tool(line.Path());
    ASSERT_TRUE(tool.SendOneEntryUpToConfirmation(5s)) << Log();
    ASSERT_EQ(tool.Read(5s), TBytes{kAck});
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0) << "the schedule was delivered";
}

// The exit status counts a schedule once its last answer has been written: a run stopped
// between the decision and the write delivered nothing.
struct TStopCase
{
    const char* name;
    std::chrono::milliseconds delay;
    int status;
};
void PrintTo(const TStopCase& c, std::ostream* out)
{
    *out << c.name;
}

class SimStopTest : public SimRunTest, public ::testing::WithParamInterface<TStopCase>
{
};

TEST_P(SimStopTest, AScheduleCountsOnceItsLastAnswerIsWritten)
{
    const auto [name, delay, status] = GetParam();
    options.policy.delay = delay;
    Start();
    {
        TToolEnd tool(line.Path());
        ASSERT_TRUE(tool.SendOneEntryUpToConfirmation(delay + 5s)) << Log();
        if (delay == 0ms) {
            EXPECT_EQ(tool.Read(5s), TBytes{kAck});
        }
    }
    ASSERT_TRUE(LogShows("confirmation frame 2", 5s)) << Log();
    stop = true; // as soon as the last answer is decided
    EXPECT_EQ(result.get(), status) << Log();
    EXPECT_THAT(Log(), HasSubstr("confirmation frame 2 [00 99 99 99 99 99 99 94]: acknowledged"));
}

INSTANTIATE_TEST_SUITE_P(WrittenOrNot, SimStopTest,
                         ::testing::Values(TStopCase{"Written", 0ms, 0},
                                           TStopCase{"DecidedButNotYetWritten", 1500ms, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimOptions, ParsesEveryPolicy)
{
    const TSimOptions options = ParseOptions({"--refuse-handshake",
                                              "3",
                                              "--refuse-frame",
                                              "2:4",
                                              "--refuse-frame",
                                              "5:1",
                                              "--silent-after",
                                              "3",
                                              "--bad-answer",
                                              "1:0x00",
                                              "--double-answer",
                                              "7",
                                              "--delay",
                                              "250",
                                              "--no-pacing",
                                              "--noise",
                                              "100000",
                                              "--device",
                                              "/dev/ttyUSB0",
                                              "--once",
                                              "--timeout",
                                              "9",
                                              "-v"});
    const auto& policy = options.policy;
    EXPECT_EQ(policy.refuseHandshake, 3);
    EXPECT_EQ(policy.refuseFrame, (std::map<int, int>{{2, 4}, {5, 1}}));
    EXPECT_EQ(policy.silentAfter, 3);
    EXPECT_EQ(policy.badAnswer.at(1), 0x00);
    EXPECT_TRUE(policy.doubleAnswer.contains(7));
    EXPECT_EQ(policy.delay, 250ms);
    EXPECT_FALSE(options.pacing);
    EXPECT_EQ(options.noise, 100000);
    EXPECT_EQ(options.device, "/dev/ttyUSB0");
    EXPECT_TRUE(options.once);
    EXPECT_EQ(options.timeout, std::chrono::milliseconds(9000));
    EXPECT_TRUE(options.verbose);
    EXPECT_TRUE(ParseOptions({"--help"}).help);
}

TEST(SimOptions, RefusesWhatItCannotUse)
{
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--refuse-frame", "2"},
                                               {"--refuse-frame", "0:1"},
                                               {"--bad-answer", "1:0x55"},
                                               {"--bad-answer", "1:256"},
                                               {"--delay", "-5"},
                                               {"--noise", "-1"},
                                               {"--delay"},
                                               {"--timeout", "soon"},
                                               {"--loud"}})
        EXPECT_THROW(ParseOptions(args), EUsage) << args[0];
}

} // namespace
} // namespace movarth::sim
