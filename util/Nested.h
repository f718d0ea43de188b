#pragma once
// The nested event loop kept for synchronous callers at the program's edge (the public RsOpen, the
// synchronous Connection calls still in use, tests): runs `task` to its end while the event loop runs,
// so other handlers run meanwhile. Unlike QCoro::waitFor, which keeps its loop and result on its own
// stack and is resumed into them after an early return (when the application is told to exit, every
// loop ends), the state is shared with the coroutine: nothing when the loop ended first, and the task
// finishes later touching only that state.
#include "util/Co.h"
#include "util/Status.h"

#include <QEventLoop>
#include <QPointer>

#include <memory>
#include <optional>

namespace nested {
template <class T> struct State {
    std::optional<T> result;
    QPointer<QEventLoop> loop;
};
// The task's end: its result into the shared state, and the loop (if it still runs) told to stop.
template <class T> Co<> finish(Co<T> task, std::shared_ptr<State<T>> state) {
    state->result.emplace(co_await task);
    if (state->loop)
        state->loop->quit();
}
} // namespace nested

// `T` is a value (a Status, a Result<...>): nothing means the event loop ended before the task did.
template <class T> std::optional<T> waitNested(Co<T> task) {
    auto state = std::make_shared<nested::State<T>>();
    (void)nested::finish(std::move(task), state);
    if (!state->result) {
        QEventLoop loop;
        state->loop = &loop;
        loop.exec();
    }
    return std::move(state->result);
}

// What an operation reports that was abandoned because the application is quitting.
inline Error quittingError() {
    return cancelledError(QStringLiteral("数据库操作未完成：程序正在退出，操作已中止"));
}

// waitNested for a Status or a Result: quittingError() when the event loop ended first.
template <class T> T waitNestedOrQuit(Co<T> task) {
    std::optional<T> done = waitNested(std::move(task));
    return done ? std::move(*done) : T(quittingError());
}

namespace nested {
inline Co<bool> done(Co<> task) {
    co_await std::move(task);
    co_return true;
}
} // namespace nested

// For a task without a value: whether it finished before the event loop ended.
inline bool waitNested(Co<> task) {
    return waitNested(nested::done(std::move(task))).has_value();
}
