#include "util/Clock.h"

#include <QElapsedTimer>

qint64 Clock::monotonicMs() const {
    static QElapsedTimer since = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return since.elapsed();
}

QDateTime Clock::now() const {
    return QDateTime::currentDateTime();
}

double Clock::secondsSinceMidnight() const {
    return now().time().msecsSinceStartOfDay() / 1000.0;
}

namespace {
Clock g_system;
Clock* g_clock = &g_system;
} // namespace

Clock& appClock() {
    return *g_clock;
}

void setAppClock(Clock* c) {
    g_clock = c ? c : &g_system;
}
