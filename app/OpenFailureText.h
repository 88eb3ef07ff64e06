#pragma once

#include "comm/OpenFailure.h"

#include <exception>
#include <string>

namespace movarth {

// Why the port did not open, in the window's words: the detail of the box that 打开 shows
// when it fails, with what the operator can do about it.
std::string OpenFailureText(const TOpenFailure& failure);

// The detail for a failure that opening the port `name` raised: an ECommError explained from
// what there is now (ExplainOpenFailure), any other failure by its own text.
std::string OpenFailureDetail(const std::string& name, const std::exception_ptr& failure,
                              const TOpenFailureSources& sources);

} // namespace movarth
