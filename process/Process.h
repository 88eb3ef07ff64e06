#pragma once

#include <string>

namespace movarth {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. A program started
// with one of them closed would otherwise get its first file there (a serial port as
// descriptor 2 receives every error text). Call it first thing in main, before anything is
// opened. Where even /dev/null cannot be opened the process ends at once, with status 71
// (EX_OSERR): it could tell nobody why.
void OpenStandardDescriptors();

// SIGTERM, SIGINT and SIGHUP as requests to stop that the program serves where it waits,
// instead of ending wherever it stands with its port held: the handler only records the first
// of them and writes its number into a pipe, both safe in a signal handler. SIGPIPE is
// ignored, so that writing to a pipe nobody reads fails with EPIPE like any failed write.
// One object at a time; it puts the previous dispositions back when it goes.
class TStopSignals
{
public:
    TStopSignals();
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // The first stop signal received while an object exists; 0 when none has come. Any thread.
    static int Received();
    // Readable once a stop signal has come: the end that an event loop watches.
    int ReadFd() const { return readFd_; }
    // Empties the pipe, so that a watcher is not woken again for the same signals.
    void Drain();

private:
    int readFd_ = -1;
};

// "SIGTERM" for SIGTERM, and so on; "signal <n>" for a number without a name here.
std::string SignalName(int signo);

} // namespace movarth
