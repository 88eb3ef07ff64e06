#pragma once

#include <QApplication>
#include <exception>
#include <stdexcept>

namespace movarth {

class TOperator;

// The application object. Its general error handler catches what a handler throws, shows the
// text in the message box and lets the event loop go on. It gives every window the program's
// icon.
class TApplication final : public QApplication
{
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

// Creates the main window and the entry editor, shows the main window centred and runs the
// event loop until the program ends, then takes both down in the right order. `watchMain`, if
// given, is installed as an event filter on the main window before it is shown.
// SIGTERM, SIGINT and SIGHUP end it the same way (TStopSignals), with 128 + the signal's number
// as the result; otherwise the result is the event loop's.
int RunWindows(QObject* watchMain = nullptr);

// Where the general error handler shows failures (the main window's message box); null for a
// plain message box without an owner.
void SetErrorOperator(TOperator* op);

// The general error handler: shows the failure's text; the caller goes on.
void ShowException(const std::exception& error) noexcept;

// Runs an event handler under the general error handler. Every handler bound to a control or
// a component runs this way, so that no exception unwinds through the toolkit's own frames
// (which are not written for it) nor into a worker thread.
template <typename F> void RunHandler(F&& handler) noexcept
{
    try {
        handler();
    } catch (const std::exception& error) {
        ShowException(error);
    } catch (...) {
        ShowException(std::runtime_error("Unknown failure"));
    }
}

} // namespace movarth
