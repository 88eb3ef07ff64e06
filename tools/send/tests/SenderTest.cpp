// The sender's command line and its progress line.
#include "tools/send/Sender.h"

#include "tools/send/tests/PrintSendOptions.h"

#include <gtest/gtest.h>

namespace movarth::send {
namespace {

struct TAcceptedCase
{
    std::vector<std::string> args;
    TSendOptions expected;
};

TEST(SendOptionsTest, CommandLinesThatAreUsed)
{
    const TAcceptedCase cases[] = {
        {{"today.qlx", "--port", "ttyUSB0"}, {.file = "today.qlx", .ports = {"ttyUSB0"}}},
        {{"--port=COM1", "-q", "today.qlx"},
         {.file = "today.qlx", .ports = {"COM1"}, .quiet = true}},
        {{"-p", "/dev/pts/3", "--quiet", "a b.qlx"},
         {.file = "a b.qlx", .ports = {"/dev/pts/3"}, .quiet = true}},
        {{"-n", "today.qlx"}, {.file = "today.qlx", .dryRun = true}},
        {{"--dry-run", "today.qlx", "-p", "ttyS0"},
         {.file = "today.qlx", .ports = {"ttyS0"}, .dryRun = true}},
        // After "--" a name that begins with "-" is the file; a lone "-" is a name too.
        {{"-p", "ttyUSB0", "--", "-today.qlx"}, {.file = "-today.qlx", .ports = {"ttyUSB0"}}},
        {{"-", "-p", "ttyUSB0"}, {.file = "-", .ports = {"ttyUSB0"}}},
        // Several ports, in the order given; fallbacks, in theirs.
        {{"today.qlx", "-p", "ttyUSB0", "--port=ttyUSB1", "--port", "/dev/serial/by-id/x"},
         {.file = "today.qlx", .ports = {"ttyUSB0", "ttyUSB1", "/dev/serial/by-id/x"}}},
        {{"%F.qlx", "--fallback", "weekday-%u.qlx", "--fallback=default.qlx", "-p", "ttyUSB0"},
         {.file = "%F.qlx", .fallbacks = {"weekday-%u.qlx", "default.qlx"}, .ports = {"ttyUSB0"}}},
        {{"today.qlx", "-p", "ttyUSB0", "--wait-for-device", "120", "--retries=2", "--retry-pause",
          "0"},
         {.file = "today.qlx",
          .ports = {"ttyUSB0"},
          .waitSeconds = 120,
          .retries = 2,
          .retryPauseSeconds = 0}},
        {{"today.qlx", "-p", "ttyUSB0", "--wait-for-device=86400", "--retries", "99",
          "--retry-pause=3600"},
         {.file = "today.qlx",
          .ports = {"ttyUSB0"},
          .waitSeconds = 86400,
          .retries = 99,
          .retryPauseSeconds = 3600}},
        // Help and version need nothing else.
        {{"--help"}, {.help = true}},
        {{"today.qlx", "-h"}, {.file = "", .help = true}},
        {{"-V"}, {.version = true}},
        {{"--version"}, {.version = true}},
        {{"--list-ports"}, {.listPorts = true}},
        {{"-l", "-q"}, {.quiet = true, .listPorts = true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(ParseSendOptions(c.args), c.expected);
    }
}

TEST(SendOptionsTest, CommandLinesThatAreRefusedSayWhy)
{
    const struct
    {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{}, "no schedule file given"},
        {{"--port", "ttyUSB0"}, "no schedule file given"},
        {{"today.qlx"}, "no port given (--port NAME)"},
        {{"-q", "today.qlx"}, "no port given (--port NAME)"},
        {{"today.qlx", "--port"}, "--port needs a port name"},
        {{"today.qlx", "--port="}, "--port= needs a port name"},
        {{"today.qlx", "-p", ""}, "-p needs a port name"},
        {{"today.qlx", "-p", "ttyUSB0", "--port", "ttyUSB0"}, "the port 'ttyUSB0' is given twice"},
        {{"today.qlx", "tomorrow.qlx", "-p", "ttyUSB0"},
         "one schedule file at a time, not also 'tomorrow.qlx'"},
        {{"today.qlx", "-p", "ttyUSB0", "--fast"}, "unknown option '--fast'"},
        {{"-qn", "today.qlx"}, "unknown option '-qn'"},
        {{"today.qlx", "-p", "ttyUSB0", "--portal"}, "unknown option '--portal'"},
        {{"today.qlx", "-p", "ttyUSB0", "--time", "05:30"}, "unknown option '--time'"},
        {{"--fallback", "default.qlx", "-p", "ttyUSB0"}, "no schedule file given"},
        {{"today.qlx", "-p", "ttyUSB0", "--fallback"}, "--fallback needs a file name"},
        {{"today.qlx", "-p", "ttyUSB0", "--wait-for-device="},
         "--wait-for-device= needs a number of seconds"},
        {{"today.qlx", "-p", "ttyUSB0", "--retries"}, "--retries needs a number"},
        {{"today.qlx", "-p", "ttyUSB0", "--config"}, "--config needs a file name"},
        {{"today.qlx", "-p", "ttyUSB0", "--retries", "-1"},
         "--retries: '-1' is not a whole number from 0 to 99"},
        {{"today.qlx", "-p", "ttyUSB0", "--retries", "100"},
         "--retries: '100' is not a whole number from 0 to 99"},
        {{"today.qlx", "-p", "ttyUSB0", "--wait-for-device", "2m"},
         "--wait-for-device: '2m' is not a whole number from 0 to 86400"},
        {{"today.qlx", "-p", "ttyUSB0", "--retry-pause=3601"},
         "--retry-pause: '3601' is not a whole number from 0 to 3600"},
        {{"today.qlx", "-p", "ttyUSB0", "--retries", "1", "--retries", "1"},
         "--retries is given twice"},
        {{"today.qlx", "-p", "ttyUSB0", "--config", "a.conf", "--config=b.conf"},
         "--config is given twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        try {
            ParseSendOptions(c.args);
            ADD_FAILURE() << "accepted";
        } catch (const EUsage& e) {
            EXPECT_EQ(std::string(e.what()), c.reason);
        }
    }
}

TEST(ProgressLineTest, ShowsTheFrameOfNTheBarAndTheCaption)
{
    // Three entries: the gauge runs to 5; 1 during the handshake, k + 1 for frame k, 5 for
    // the confirmation frame.
    const struct
    {
        int progress;
        int maxValue;
        std::string expected;
    } cases[] = {
        {0, 0, "frame 0 of 0 [....................] "},
        {1, 5, "frame 0 of 3 [####................] "},
        {2, 5, "frame 1 of 3 [########............] "},
        {4, 5, "frame 3 of 3 [################....] "},
        {5, 5, "frame 3 of 3 [####################] "},
        {1, 33, "frame 0 of 31 [....................] "},
        {32, 33, "frame 31 of 31 [###################.] "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.progress);
        EXPECT_EQ(ProgressLineText(c.progress, c.maxValue, "caption"), c.expected + "caption");
    }
}

} // namespace
} // namespace movarth::send
