// movarth-send: downloads a schedule file to the count-down controller without the window.
#include "process/Process.h"
#include "tools/send/Sender.h"

#include <unistd.h>

int main(int argc, char** argv)
{
    movarth::OpenStandardDescriptors();
    // SIGTERM, SIGINT and SIGHUP end a download with the port given back; SIGPIPE is ignored.
    const movarth::TStopSignals stopSignals;
    return movarth::send::RunSendCommand(std::vector<std::string>(argv + 1, argv + argc), stdout,
                                         stderr, ::isatty(STDERR_FILENO) == 1,
                                         {std::time(nullptr), stopSignals.ReadFd()});
}
