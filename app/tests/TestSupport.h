#pragma once

#include "app/TimeField.h"
#include "schedule/Operator.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace movarth {

// Points the program's settings and its send history (under <folder>/state) at a fresh folder
// for the life of the object.
class TScopedSettingsDir
{
public:
    TScopedSettingsDir()
        : old_(qgetenv("MOVARTH_SETTINGS_DIR")), oldState_(qgetenv("XDG_STATE_HOME"))
    {
        Use(dir_.path());
        qputenv("XDG_STATE_HOME", dir_.filePath(QStringLiteral("state")).toUtf8());
    }
    ~TScopedSettingsDir()
    {
        qputenv("MOVARTH_SETTINGS_DIR", old_);
        qputenv("XDG_STATE_HOME", oldState_);
    }
    TScopedSettingsDir(const TScopedSettingsDir&) = delete;
    TScopedSettingsDir& operator=(const TScopedSettingsDir&) = delete;

    QString Path() const { return dir_.path(); }
    QString File() const { return dir_.filePath(QStringLiteral("movarth.conf")); }
    QString HistoryFile() const
    {
        return dir_.filePath(QStringLiteral("state/movarth/send-history.log"));
    }
    // Sends the settings somewhere else, e.g. below a regular file, where nothing can be stored.
    static void Use(const QString& path) { qputenv("MOVARTH_SETTINGS_DIR", path.toUtf8()); }

private:
    QByteArray old_;
    QByteArray oldState_;
    QTemporaryDir dir_;
};

// Types a time into a time field as the operator does: over a cleared mask, from its start.
inline void TypeTime(TMaskTimeField* field, const char* text)
{
    field->SetText("00:00:00");
    field->setCursorPosition(0);
    QTest::keyClicks(field, QString::fromUtf8(text));
}

// The operator as a test plays it: records every dialog and answers from a script.
class TScriptedOperator final : public TOperator
{
public:
    struct TCall
    {
        std::string kind; // "message", "confirm", "ask", "inform", "save", "open"
        std::string text;
        std::string detail{}; // a message's detail
    };

    void ShowMessage(const std::string& text) override { calls.push_back({"message", text}); }
    void ShowDetailedMessage(const std::string& text, const std::string& detail) override
    {
        calls.push_back({"message", text, detail});
    }
    bool Confirm(const std::string& q) override { return Answer("confirm", q); }
    bool AskInformation(const std::string& q) override { return Answer("ask", q); }
    void Inform(const std::string& text) override { calls.push_back({"inform", text}); }
    std::optional<std::string> ChooseSaveFile() override { return File("save"); }
    std::optional<std::string> ChooseOpenFile() override { return File("open"); }

    // The texts of the message boxes shown so far.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> texts;
        for (const TCall& call : calls)
            if (call.kind == "message") texts.push_back(call.text);
        return texts;
    }

    // The details of the message boxes shown so far.
    std::vector<std::string> Details() const
    {
        std::vector<std::string> details;
        for (const TCall& call : calls)
            if (call.kind == "message") details.push_back(call.detail);
        return details;
    }

    std::vector<TCall> calls;
    std::deque<bool> answers;                     // for Confirm and AskInformation; default No
    std::deque<std::optional<std::string>> files; // for the file dialogs; default cancelled

private:
    bool Answer(const char* kind, const std::string& question)
    {
        calls.push_back({kind, question});
        if (answers.empty()) return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::string> File(const char* kind)
    {
        calls.push_back({kind, ""});
        if (files.empty()) return std::nullopt;
        auto file = files.front();
        files.pop_front();
        return file;
    }
};

} // namespace movarth

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace movarth {

// A pseudo-terminal: the program opens the slave as its serial port, the test plays the
// controller on the master.
class TPseudoTerminal
{
public:
    TPseudoTerminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            slave_ = ptsname(master_);
    }
    ~TPseudoTerminal()
    {
        if (master_ >= 0) close(master_);
    }
    TPseudoTerminal(const TPseudoTerminal&) = delete;
    TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

    bool Ok() const { return !slave_.empty(); }
    const std::string& SlaveName() const { return slave_; }
    // The bytes that arrived within the time, at most `count`.
    std::string Read(std::size_t count, int timeoutMs)
    {
        std::string bytes;
        pollfd fd{master_, POLLIN, 0};
        while (bytes.size() < count && poll(&fd, 1, timeoutMs) > 0) {
            char buffer[64];
            const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n <= 0) break;
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }
    void Write(std::uint8_t byte) { [[maybe_unused]] auto n = write(master_, &byte, 1); }

private:
    int master_ = -1;
    std::string slave_;
};

} // namespace movarth
