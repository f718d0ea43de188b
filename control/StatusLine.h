#pragma once
// The control's status line as its collaborators see it. Every write is also a point where other
// handlers may run: the line is shown at once, which lets the event loop run.
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
