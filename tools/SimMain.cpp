// movarth-controller-sim: the count-down controller on a pseudo-terminal, for trying out and
// testing the download without the device.
#include "process/Process.h"
#include "tools/SimLine.h"

#include <csignal>
#include <cstdio>
#include <exception>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int)
{
    stopRequested.store(true);
}

} // namespace

int main(int argc, char** argv)
{
    using namespace movarth::sim;
    movarth::OpenStandardDescriptors();
    const std::string program = argc > 0 ? argv[0] : "movarth-controller-sim";
    TSimOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EUsage& e) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return 2;
    }
    if (options.help) {
        std::fputs(HelpText(program).c_str(), stdout);
        return 0;
    }

    struct sigaction action
    {
    };
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        TSimLine line(options.device);
        std::printf("%s\n", line.Path().c_str());
        std::fflush(stdout);
        return RunController(line, options, stdout, stderr, stopRequested);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return 3;
    }
}
