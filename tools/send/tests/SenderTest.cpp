// The sender's command line and its progress line.
#include "tools/send/Sender.h"

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
        {{"today.qlx", "--port", "ttyUSB0"}, {.file = "today.qlx", .port = "ttyUSB0"}},
        {{"--port=COM1", "-q", "today.qlx"}, {.file = "today.qlx", .port = "COM1", .quiet = true}},
        {{"-p", "/dev/pts/3", "--quiet", "a b.qlx"},
         {.file = "a b.qlx", .port = "/dev/pts/3", .quiet = true}},
        {{"-n", "today.qlx"}, {.file = "today.qlx", .dryRun = true}},
        {{"--dry-run", "today.qlx", "-p", "ttyS0"},
         {.file = "today.qlx", .port = "ttyS0", .dryRun = true}},
        // After "--" a name that begins with "-" is the file; a lone "-" is a name too.
        {{"-p", "ttyUSB0", "--", "-today.qlx"}, {.file = "-today.qlx", .port = "ttyUSB0"}},
        {{"-", "-p", "ttyUSB0"}, {.file = "-", .port = "ttyUSB0"}},
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
        const TSendOptions options = ParseSendOptions(c.args);
        EXPECT_EQ(options.file, c.expected.file);
        EXPECT_EQ(options.port, c.expected.port);
        EXPECT_EQ(options.dryRun, c.expected.dryRun);
        EXPECT_EQ(options.quiet, c.expected.quiet);
        EXPECT_EQ(options.help, c.expected.help);
        EXPECT_EQ(options.version, c.expected.version);
        EXPECT_EQ(options.listPorts, c.expected.listPorts);
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
        {{"today.qlx", "-p", "ttyUSB0", "--port", "ttyUSB1"}, "the port is given twice"},
        {{"today.qlx", "tomorrow.qlx", "-p", "ttyUSB0"},
         "one schedule file at a time, not also 'tomorrow.qlx'"},
        {{"today.qlx", "-p", "ttyUSB0", "--fast"}, "unknown option '--fast'"},
        {{"-qn", "today.qlx"}, "unknown option '-qn'"},
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
