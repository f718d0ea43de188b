#pragma once
// The control's status line as its collaborators see it. A write never yields: the line paints at the
// writer's next co_await, which is a point where other handlers may run; a line that must show before
// work goes on is followed by `co_await await::nextTurn()`.
#include <QDateTime>
#include <QString>

class StatusLine {
public:
    virtual ~StatusLine() = default;
    // Replaces the line with "yyyy-MM-dd HH:mm:ss", one blank and `message`.
    virtual void ShowStatus(const QString& message) = 0;
};

// The date and time as the status line shows "now" in the system's default form.
QString defaultDateTimeText(const QDateTime& at);
