#include "app/QtUiThread.h"

#include <QMetaObject>

namespace movarth {

void TQtUiThread::WakeUi()
{
    // Called by a worker thread, with the lock held: posting is thread-safe, and the call runs
    // on the thread of the receiver. A request that joins others already queued needs no
    // event of its own: the one on its way, or the RunPending under way, serves it too.
    if (queue_.size() != 1) return;
    QMetaObject::invokeMethod(
        &receiver_, [this] { RunPending(); }, Qt::QueuedConnection);
}

} // namespace movarth
