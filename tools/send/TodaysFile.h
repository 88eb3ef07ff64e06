#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace movarth::send {

// `pattern` with its strftime(3) conversions filled from `date` (%Y-%m-%d, %F, %a, %u, ...;
// %% is a %), in the C locale: %a is Mon to Sun. A pattern without "%" is returned as it is.
// Throws std::length_error for a pattern that makes a name longer than 64 KiB.
std::string FillDate(const std::string& pattern, const std::tm& date);

// Which of a schedule file and its fallbacks is sent on `date`.
struct TScheduleChoice
{
    std::string path;                 // the file to load; empty when none of them exists
    std::vector<std::string> missing; // the names before it (filled), which do not exist
};

// The first of `patterns`, each filled from `date`, that does not say "does not exist": only
// ENOENT from stat(2) means that (the file, or a folder on the way, is not there; a symbolic
// link that leads nowhere counts too). Anything else is chosen, whatever it holds, so that
// its loading says what is wrong with it: a broken file is never passed over for the next.
TScheduleChoice ChooseScheduleFile(const std::vector<std::string>& patterns, const std::tm& date);

} // namespace movarth::send
