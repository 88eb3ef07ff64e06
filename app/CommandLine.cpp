#include "app/CommandLine.h"

#include <cstdio>
#include <string_view>

namespace movarth {

namespace {

constexpr const char* kHelp = R"(Usage: movarth [--help | --version]
Opens the window in which the day's programme entries (start time, programme length, end
time) are typed, kept in schedule files and downloaded to the count-down display controller
over a serial line.

  --help     show this text
  --version  show the version

Any other arguments go to the toolkit (such as -platform offscreen).

The settings are kept in ~/.config/movarth/movarth.conf, or in
$MOVARTH_SETTINGS_DIR/movarth.conf when MOVARTH_SETTINGS_DIR is set.
)";

} // namespace

std::optional<int> RunInformationOption(int argc, char** argv)
{
    if (argc < 2) return std::nullopt;
    const std::string_view option = argv[1];
    if (option == "--help")
        std::fputs(kHelp, stdout);
    else if (option == "--version")
        std::fputs("movarth " MOVARTH_VERSION "\n", stdout);
    else
        return std::nullopt;
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace movarth
