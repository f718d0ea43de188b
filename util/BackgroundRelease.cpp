#include "util/BackgroundRelease.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace background {

void run(std::function<void()> job) {
    QThreadPool* pool = QCoreApplication::instance() ? QThreadPool::globalInstance() : nullptr;
    if (pool)
        pool->start(std::move(job));
    else
        job();
}

} // namespace background
