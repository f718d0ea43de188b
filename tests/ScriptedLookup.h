#pragma once
// A name service with a script, for connections that must not wait on the window thread: answers
// after `delayMs` with the addresses given (none: the name is unknown), and notes what it was asked.
#include "database/HostLookup.h"

#include <QThread>

#include <atomic>
#include <mutex>

class ScriptedLookup : public HostLookup {
public:
    std::atomic<int> delayMs{0};
    std::atomic<int> calls{0};
    Result<QStringList> resolve(const QString& host) override {
        QStringList out;
        {
            std::lock_guard lock(mutex_);
            hosts_ << host;
            out = addresses_;
        }
        ++calls;
        QThread::msleep(static_cast<unsigned long>(delayMs.load()));
        if (out.isEmpty())
            return Status::failure(QStringLiteral("Name or service not known"));
        return out;
    }
    void answer(const QStringList& addresses) {
        std::lock_guard lock(mutex_);
        addresses_ = addresses;
    }
    QStringList hosts() {
        std::lock_guard lock(mutex_);
        return hosts_;
    }

private:
    std::mutex mutex_;
    QStringList addresses_{QStringLiteral("127.0.0.1")};
    QStringList hosts_;
};
