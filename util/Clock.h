#pragma once
// Time sources behind a seam: elapsed-time measures use the monotonic clock (never time of day,
// which breaks at midnight); tests install a fake to step across 60-second or midnight edges.
#include <QDateTime>

class Clock {
public:
    virtual ~Clock() = default;
    virtual qint64 monotonicMs() const;
    virtual QDateTime now() const;
    // Seconds since local midnight with fractions, as the record ids use them.
    double secondsSinceMidnight() const;
};

Clock& appClock();
// Installs `c` (not owned); nullptr restores the system clock.
void setAppClock(Clock* c);
