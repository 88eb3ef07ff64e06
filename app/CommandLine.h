#pragma once

#include <optional>

namespace movarth {

// The program's own arguments, read before the toolkit starts so that they need no display:
// "--help" or "--version" as the first argument prints its text to standard output and gives
// the exit status. Any other command line gives nothing and goes to the toolkit as before.
std::optional<int> RunInformationOption(int argc, char** argv);

} // namespace movarth
