#pragma once

// A controller that never answers, on a pseudo-terminal of the calling user's. Both ends stay
// open for the object's life, as a controller's line or a serial-over-network bridge keeps its
// far end open between two runs of the tool: what a run leaves on the terminal (its exclusive
// mode, its line settings) is still there for the next.

#include <chrono>
#include <cstdint>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace movarth::test {

class TSilentLine
{
public:
    TSilentLine()
    {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        termios settings{};
        ::tcgetattr(master_, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(master_, TCSANOW, &settings);
        path_ = ::ttyname(slave_);
    }
    ~TSilentLine()
    {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    TSilentLine(const TSilentLine&) = delete;
    TSilentLine& operator=(const TSilentLine&) = delete;

    // The terminal end, which the tool opens as its port; empty when none could be made.
    const std::string& Path() const { return path_; }
    // A descriptor of the terminal end, for looking at its settings.
    int Terminal() const { return slave_; }
    // Reads what the tool sends until `count` handshake bytes (0x55) have come, at most
    // `timeout`.
    bool AwaitHandshakes(std::size_t count, std::chrono::milliseconds timeout)
    {
        std::size_t seen = 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (seen < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) continue;
            std::uint8_t buffer[64];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i)
                seen += buffer[i] == 0x55;
        }
        return seen >= count;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

} // namespace movarth::test
