#include "util/BackgroundRelease.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <sys/resource.h>
#include <unistd.h>

namespace background {

namespace {

// A pool of its own, whose threads run at a lower priority than the window's: on a machine with a
// core or two, a long job (wrapping a 16 MB record, freeing a million titles) must never keep the
// window thread waiting for a CPU. Never destroyed: jobs may still be queued at exit.
QThreadPool& pool() {
    static auto* threads = new QThreadPool;
    return *threads;
}

void yieldToTheWindow() {
    thread_local bool lowered = false;
    if (lowered)
        return;
    // This thread alone (Linux takes a thread id here). It cannot be raised again, nor need be; a
    // refusal leaves it as it was.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    lowered = true;
}

} // namespace

void run(std::function<void()> job) {
    if (!QCoreApplication::instance()) {
        job();
        return;
    }
    pool().start([job = std::move(job)] {
        yieldToTheWindow();
        job();
    });
}

} // namespace background
