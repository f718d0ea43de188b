#pragma once
// A test waits for a coroutine of the program as a synchronous caller does: in a nested event loop
// (waitNested), so the window's other events run meanwhile.
#include "util/Handlers.h"
#include "util/Nested.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>

template <class T> T sync(Co<T> task) {
    std::optional<T> done = waitNested(std::move(task));
    if (!done)
        qFatal("the event loop ended before the awaited operation");
    return std::move(*done);
}

// Waits until every handler the program started (a click's write, a command waiting for a form) has
// finished: a public handler returns at its first wait. False when one still runs after a minute.
// Woken by the events themselves, not polled: QTest::qWaitFor sleeps 10 ms a round, which spreads the
// stress clients' writes apart until they no longer meet.
inline bool handlersDone() {
    QDeadlineTimer deadline(60000);
    QTimer wake; // a wait that no event ends still looks at the deadline
    wake.start(100);
    while (Handlers::runningEverywhere() > 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return Handlers::runningEverywhere() == 0;
}
