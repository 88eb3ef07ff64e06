#pragma once

#include <QSettings>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace movarth {

// A failure to store or read one value of the per-user key.
class ERegistryException : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The program's per-user key "\SoftWare\movarth", kept in an INI file that survives between
// runs: $MOVARTH_SETTINGS_DIR/movarth.conf when that variable is set, else
// movarth/movarth.conf in the user's configuration folder (~/.config on Linux).
// Every write is flushed at once, so a write that cannot be stored fails where it happens.
//
// A settings file that cannot be parsed (damaged, or overwritten with other bytes) would make
// every write fail: the first write sets it aside, byte for byte, as
// movarth.conf.unreadable-<yyyyMMdd-hhmmss> beside it and starts a fresh file. Anything that
// is not a regular file of at most 64 KiB (a FIFO, a link to a device, a huge file) is not read
// at all: it is moved aside under that name at once. A name already taken is never replaced:
// -2, -3, ... are appended. Where nothing can be set aside, every read and write fails.
class TRegistry
{
public:
    TRegistry();

    static QString FileName();
    // Where an unreadable settings file found now is set aside, unless that name is taken.
    static QString UnreadableFileName();

    // Throws "Failed to set data for '<name>'".
    void WriteString(const std::string& name, const std::string& value);
    bool ValueExists(const std::string& name);
    // Throws "Failed to get data for '<name>'" when the value cannot be read, and
    // "Invalid data type for '<name>'" when it is not a string.
    std::string ReadString(const std::string& name);

private:
    bool StartAfresh();
    // Tries `place` on the first free name for an unreadable file, and answers what it did.
    static bool SetAside(const std::function<bool(const QString& name)>& place);

    bool unusable_ = false; // an unreadable file stands where the settings go
    std::unique_ptr<QSettings> settings_;
    // The file as it was found, kept until the first write has shown whether it parses.
    QByteArray found_;
};

} // namespace movarth
