#include "app/Application.h"

#include "app/Frm_edit.h"
#include "app/Frm_main.h"
#include "app/QtOperator.h"
#include "process/Process.h"

#include <QIcon>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>

namespace movarth {
namespace {

TOperator* errorOperator = nullptr;

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // Every window of the program, message boxes and dialogs included, shows its icon.
    setWindowIcon(QIcon(QStringLiteral(":/io.github.movarth.Movarth.svg")));
}

int RunWindows(QObject* watchMain)
{
    // A stop signal ends the program as the exit button does, also during a download: learnt
    // on the event loop once the running handler is back in it (or in a dialog's loop, which
    // ends without an answer), never inside the signal handler. exit(), not quit(): quit()
    // would ask the windows to close first, and a window may refuse that.
    TStopSignals stopSignals;
    QSocketNotifier stopNotifier(stopSignals.ReadFd(), QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&stopSignals] {
        stopSignals.Drain();
        QCoreApplication::exit(128 + TStopSignals::Received());
    });

    // The editor goes first at the end: it refers to the main window. The main window's
    // destructor stops the timed items and closes the port while its hand-over is still there.
    auto main = std::make_unique<TFrm_main>();
    Frm_main = main.get();
    SetErrorOperator(&main->Operator());
    auto edit = std::make_unique<TFrm_edit>(*main);
    Frm_edit = edit.get();
    main->SetEditor(edit.get());

    if (watchMain != nullptr) main->installEventFilter(watchMain);
    main->show();
    CentreOnScreen(*main);
    // A signal served by a start-up box's loop (the settings could not be written) ended only
    // that loop: exec() would start afresh and forget it.
    const int stoppedBy = TStopSignals::Received();
    const int result = stoppedBy != 0 ? 128 + stoppedBy : QApplication::exec();

    SetErrorOperator(nullptr);
    edit.reset();
    main.reset();
    return result;
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(error);
    }
    return false;
}

void SetErrorOperator(TOperator* op)
{
    errorOperator = op;
}

void ShowException(const std::exception& error) noexcept
{
    try {
        if (errorOperator != nullptr) {
            errorOperator->ShowMessage(error.what());
        } else {
            TQtOperator(nullptr).ShowMessage(error.what());
        }
    } catch (...) {
        // Showing the failure failed too: the text goes to the error stream instead.
        std::fprintf(stderr, "movarth: %s\n", error.what());
    }
}

} // namespace movarth
