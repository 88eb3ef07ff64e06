// movarth-send-generator: a systemd user generator. It gives each movarth-send@<instance>.timer
// the time of day that ~/.config/movarth/send/<instance>.conf names, since a timer unit
// cannot read a configuration file. The user manager runs it at its start and at every
// daemon-reload, with the folder for its units as the first argument.
#include "tools/send/SendConfig.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s NORMAL-DIR [EARLY-DIR LATE-DIR]\n", argv[0]);
        return 2;
    }
    const std::string configFolder = movarth::send::DefaultSendConfigFolder();
    if (configFolder.empty()) return 0;
    // A configuration it cannot use keeps its timer at the template's time; the service
    // itself then says what is wrong with it.
    for (const std::string& message : movarth::send::WriteTimerDropIns(configFolder, argv[1]))
        std::fprintf(stderr, "movarth-send-generator: %s; its timer keeps its unit's time\n",
                     message.c_str());
    return 0;
}
