#pragma once
// A clock the test sets. Every reading of the time of day gives `at`, moved on by `stepMs` at each
// reading (to show which value came from which reading); the monotonic clock is the real one unless
// `ms` is set.
#include "util/Clock.h"

#include <optional>

class FakeClock : public Clock {
public:
    QDateTime at;
    qint64 stepMs = 0;
    mutable int reads = 0;
    std::optional<qint64> ms;

    QDateTime now() const override { return at.addMSecs(stepMs * reads++); }
    qint64 monotonicMs() const override { return ms ? *ms : Clock::monotonicMs(); }
    // Both clocks on by `deltaMs`.
    void advance(qint64 deltaMs) {
        ms = monotonicMs() + deltaMs;
        at = at.addMSecs(deltaMs);
    }
};
