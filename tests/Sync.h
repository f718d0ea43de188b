#pragma once
// A test waits for a coroutine of the program as a synchronous caller does: in a nested event loop
// (waitNested), so the window's other events run meanwhile.
#include "util/Handlers.h"
#include "util/Nested.h"

#include <QTest>
#include <QtGlobal>

template <class T> T sync(Co<T> task) {
    std::optional<T> done = waitNested(std::move(task));
    if (!done)
        qFatal("the event loop ended before the awaited operation");
    return std::move(*done);
}

// Waits until every handler the program started (a click's write, a command waiting for a form) has
// finished: a public handler returns at its first wait. False when one still runs after a minute.
inline bool handlersDone() {
    return QTest::qWaitFor([] { return Handlers::runningEverywhere() == 0; }, 60000);
}
