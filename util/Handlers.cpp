#include "util/Handlers.h"

#include <QtGlobal>

#include <exception>

namespace {
int g_running = 0;
} // namespace

// Without captures: the task and the owner are copied into the frame, so nothing dangles once start()
// has returned.
Co<> Handlers::supervise(Co<> task, QPointer<Handlers> owner) {
    try {
        co_await task;
    } catch (const std::exception& e) {
        qFatal("a handler ended with an exception: %s", e.what());
    } catch (...) {
        qFatal("a handler ended with an exception");
    }
    --g_running;
    if (owner && --owner->running_ == 0)
        Q_EMIT owner->idle();
}

void Handlers::start(Co<> task) {
    ++running_;
    ++g_running;
    // Dropping the returned task detaches it: QCoro 0.8 frees the frame when the coroutine ends.
    (void)supervise(std::move(task), this);
}

int Handlers::runningEverywhere() {
    return g_running;
}
