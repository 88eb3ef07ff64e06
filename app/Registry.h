#pragma once

#include <QSettings>
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
class TRegistry
{
public:
    TRegistry();

    static QString FileName();

    // Throws "Failed to set data for '<name>'".
    void WriteString(const std::string& name, const std::string& value);
    bool ValueExists(const std::string& name);
    // Throws "Failed to get data for '<name>'" when the value cannot be read, and
    // "Invalid data type for '<name>'" when it is not a string.
    std::string ReadString(const std::string& name);

private:
    std::unique_ptr<QSettings> settings_;
};

} // namespace movarth
