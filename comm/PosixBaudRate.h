#pragma once

#include <cstdint>

// Bit rates through termios2. Kept apart from the rest of the POSIX serial code because
// <asm/termbits.h> clashes with <termios.h>.
namespace movarth {

// Sets any bit rate, also one without a standard speed constant (BOTHER). Answers 0 or errno.
int SetCustomBaudRate(int fd, std::uint32_t rate);
// The output bit rate the device runs at. Answers 0 or errno.
int GetBaudRate(int fd, std::uint32_t& rate);

} // namespace movarth
