#pragma once

// How a failed comparison of the sender's options shows them.

#include "tools/send/Sender.h"

#include <gtest/gtest.h>
#include <ostream>

namespace movarth::send {

inline void PrintTo(const TSendOptions& o, std::ostream* out)
{
    using ::testing::PrintToString;
    *out << "{file " << PrintToString(o.file) << ", fallbacks " << PrintToString(o.fallbacks)
         << ", ports " << PrintToString(o.ports) << ", wait " << o.waitSeconds << ", retries "
         << o.retries << ", pause " << o.retryPauseSeconds << ", config " << PrintToString(o.config)
         << ", dry-run " << o.dryRun << ", quiet " << o.quiet << ", help " << o.help << ", version "
         << o.version << ", list-ports " << o.listPorts << "}";
}

} // namespace movarth::send
