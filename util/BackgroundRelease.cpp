#include "util/BackgroundRelease.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace background {

void release(std::function<void()> drop) {
    // At exit (no application, or its pool already gone) there is no window left to keep responsive.
    QThreadPool* pool = QCoreApplication::instance() ? QThreadPool::globalInstance() : nullptr;
    if (pool)
        pool->start(std::move(drop));
    else
        drop();
}

} // namespace background
