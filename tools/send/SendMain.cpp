// movarth-send: downloads a schedule file to the count-down controller without the window.
#include "tools/send/Sender.h"

#include <unistd.h>

int main(int argc, char** argv)
{
    return movarth::send::RunSendCommand(std::vector<std::string>(argv + 1, argv + argc), stdout,
                                         stderr, ::isatty(STDERR_FILENO) == 1);
}
