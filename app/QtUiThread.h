#pragma once

#include "timing/UiThread.h"

#include <QObject>

namespace movarth {

// The hand-over to the Qt UI thread: a request posts an event to an object living on that
// thread, and the event serves the queue. Posted events are delivered by every event loop of
// the thread, so hand-overs are served inside modal dialogs and message boxes as well.
// Construct it on the UI thread, once the application object exists.
class TQtUiThread final : public TUiThread
{
public:
    TQtUiThread() = default;

protected:
    void WakeUi() override;

private:
    // Lives on the UI thread; events posted to it die with it.
    QObject receiver_;
};

} // namespace movarth
