#include "PosixBaudRate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace movarth {

int SetCustomBaudRate(int fd, std::uint32_t rate)
{
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) < 0) return errno;
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT)); // input speed follows the output speed
    settings.c_cflag |= BOTHER;
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    if (::ioctl(fd, TCSETS2, &settings) < 0) return errno;
    return 0;
}

int GetBaudRate(int fd, std::uint32_t& rate)
{
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) < 0) return errno;
    rate = settings.c_ospeed;
    return 0;
}

} // namespace movarth
