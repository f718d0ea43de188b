#pragma once
// Starts a handler's coroutine from a plain slot (a click, a key) without waiting for it: the event
// returns at the handler's first co_await. Counts the running ones, so a test or the owner knows when
// all have finished; an exception escaping a handler ends the program rather than vanish inside a task
// nobody awaits.
#include "util/Co.h"

#include <QObject>
#include <QPointer>

class Handlers : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    void start(Co<> task);
    int running() const { return running_; }

    // Handler coroutines started and not yet finished in the whole process (tests check 0 at the end).
    static int runningEverywhere();

Q_SIGNALS:
    void idle();

private:
    static Co<> supervise(Co<> task, QPointer<Handlers> owner);
    int running_ = 0;
};
