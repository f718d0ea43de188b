#pragma once
// A test waits for a coroutine of the program as a synchronous caller does: in a nested event loop
// (waitNested), so the window's other events run meanwhile.
#include "util/Nested.h"

#include <QtGlobal>

template <class T> T sync(Co<T> task) {
    std::optional<T> done = waitNested(std::move(task));
    if (!done)
        qFatal("the event loop ended before the awaited operation");
    return std::move(*done);
}
