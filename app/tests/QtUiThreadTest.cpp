#include "app/QtUiThread.h"

#include "timing/ZelTMultiThread.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <thread>

namespace movarth {
namespace {

using namespace std::chrono_literals;

class QtHandOver : public ::testing::Test
{
protected:
    TZelTimedThread& AddItem(std::uint16_t interval)
    {
        TZelTimedThread& item = component->Threads().Add();
        item.SetEnabled(false);
        item.SetInterval(interval);
        return item;
    }

    TQtUiThread ui;
    std::unique_ptr<TZelMultiThreader> component = std::make_unique<TZelMultiThreader>(ui);
};

TEST_F(QtHandOver, ItemTicksWhileAModalMessageBoxIsOpen)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("提示信息"), QStringLiteral("modal"),
                    QMessageBox::Ok);
    bool insideExec = false;
    int ticksInside = 0;
    int ticksOffUiThread = 0;
    TZelTimedThread& item = AddItem(50);
    item.OnTimer = [&](TZelTimedThread&) {
        if (QThread::currentThread() != qApp->thread()) ++ticksOffUiThread;
        if (insideExec && box.isVisible() && ++ticksInside == 3) box.done(QMessageBox::Ok);
    };
    item.SetEnabled(true);
    // Closes the box should the ticks never come, so that a failure does not hang.
    QTimer::singleShot(10000, &box, [&box] { box.done(QMessageBox::Cancel); });

    insideExec = true;
    const int result = box.exec(); // the box's own loop is the only one running
    insideExec = false;

    EXPECT_EQ(result, QMessageBox::Ok);
    EXPECT_EQ(ticksInside, 3);
    EXPECT_EQ(ticksOffUiThread, 0);
}

TEST_F(QtHandOver, HandlerFailureStaysOffTheEventLoopAndEndsTheWorker)
{
    TZelTimedThread& item = AddItem(50);
    int calls = 0;
    item.OnTimer = [&](TZelTimedThread&) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    item.SetEnabled(true);
    // The failure goes back to the worker; the application's error handler never sees it
    // (it would open a message box here).
    EXPECT_TRUE(QTest::qWaitFor([&] { return item.Worker().Ended(); }, 10000));
    QTest::qWait(200);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(item.Enabled());
    EXPECT_EQ(QApplication::topLevelWidgets().size(), 0);
}

TEST_F(QtHandOver, DestroyingTheComponentWithAHandOverPostedDoesNotBlock)
{
    TZelTimedThread& item = AddItem(50);
    int calls = 0;
    item.OnTimer = [&](TZelTimedThread&) { ++calls; };
    item.SetEnabled(true);
    std::this_thread::sleep_for(500ms); // the worker now waits for this thread
    component.reset();
    QTest::qWait(200);
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace movarth
