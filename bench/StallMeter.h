#pragma once
// How long the window's event loop went without running: the longest gap between the ticks of a 1 ms
// timer, and how much of it the window thread spent on a CPU. The benchmark measures every case with
// it, and the tests that show large records measure their stalls the same way.
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <ctime>
#include <functional>

inline double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The longest gap between consecutive ticks of a 1 ms timer: how long the event loop was blocked.
class StallMeter {
public:
    StallMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    }
    // Called at every tick; its texts at both ends of the longest gap say where the loop was blocked.
    std::function<QString()> probe;
    QString where;
    // CPU time the window thread spent inside the longest gap: about the gap itself when the window's
    // own work blocked it, far less when the thread was waiting for a CPU or for the kernel.
    double cpuInGapMs = 0;
    // The most CPU time the window thread used between two ticks: its own longest piece of work.
    double maxBusyMs = 0;
    QString busyWhere;

    void start() {
        maxGapNs_ = 0;
        cpuInGapMs = 0;
        maxBusyMs = 0;
        where.clear();
        lastWhere_ = probe ? probe() : QString();
        clock_.start();
        lastNs_ = clock_.nsecsElapsed();
        lastCpu_ = threadCpuMs();
        timer_.start();
    }
    // Stops and returns the longest gap in ms (the time since the last tick counts as a gap too).
    double stop() {
        tick();
        timer_.stop();
        return static_cast<double>(maxGapNs_) / 1e6;
    }

private:
    void tick() {
        const qint64 now = clock_.nsecsElapsed();
        const double cpu = threadCpuMs();
        const QString here = probe ? probe() : QString();
        const QString span =
            QStringLiteral("from \"") + lastWhere_ + QStringLiteral("\" to \"") + here + u'"';
        if (now - lastNs_ > maxGapNs_) {
            maxGapNs_ = now - lastNs_;
            cpuInGapMs = cpu - lastCpu_;
            where = span;
        }
        if (cpu - lastCpu_ > maxBusyMs) {
            maxBusyMs = cpu - lastCpu_;
            busyWhere = span;
        }
        lastNs_ = now;
        lastCpu_ = cpu;
        lastWhere_ = here;
    }
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = 0;
    double lastCpu_ = 0;
    qint64 maxGapNs_ = 0;
    QString lastWhere_;
};
