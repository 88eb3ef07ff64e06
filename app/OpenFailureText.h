#pragma once

#include "comm/OpenFailure.h"

#include <exception>
#include <string>

namespace movarth {

// The detail of the box that 打开 shows when opening the port `name` failed, in the window's
// words with what the operator can do about it: an ECommError explained from what there is
// now (ExplainOpenFailure), any other failure by its own text.
std::string OpenFailureDetail(const std::string& name, const std::exception_ptr& failure,
                              const TOpenFailureSources& sources);

} // namespace movarth
