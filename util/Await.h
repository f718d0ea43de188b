#pragma once
// The program's own awaitables (QtCore only). Each resumes its coroutine exactly once: when what it waits
// for happens (always from the event loop), or with "gone" when the object it waits on is destroyed first
// (at once, inside that destruction). A coroutine resumed with "gone" touches nothing but its locals.
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <memory>

namespace await {

// Lets the window run (paint, take input, run other handlers) and comes back on the next turn of the
// event loop: a zero timer, so it runs after the input and paint events already queued.
class NextTurn {
public:
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const {
        QTimer::singleShot(0, [h] { h.resume(); });
    }
    void await_resume() const noexcept {}
};
inline NextTurn nextTurn() {
    return {};
}

// Waits `ms` while `context` lives: true when the time passed, false when `context` was destroyed first
// (resumed inside its destruction).
class Sleep {
public:
    Sleep(QObject* context, std::chrono::milliseconds ms) : context_(context), ms_(ms) {}
    // Moved into the coroutine frame before await_suspend; never moved once suspended.
    Sleep(Sleep&&) = default;
    Sleep& operator=(Sleep&&) = delete;
    ~Sleep() { QObject::disconnect(gone_); }

    bool await_ready() const noexcept { return !context_; }
    void await_suspend(std::coroutine_handle<> h) {
        handle_ = h;
        timer_ = std::make_unique<QTimer>();
        timer_->setSingleShot(true);
        QObject::connect(timer_.get(), &QTimer::timeout, [this] { finish(true); });
        gone_ = QObject::connect(context_, &QObject::destroyed, [this] { finish(false); });
        timer_->start(ms_);
    }
    bool await_resume() const noexcept { return alive_; }

private:
    void finish(bool alive) {
        if (!handle_)
            return;
        alive_ = alive;
        QObject::disconnect(gone_);
        timer_->stop();
        std::exchange(handle_, {}).resume(); // may destroy *this: nothing after
    }
    QPointer<QObject> context_;
    std::chrono::milliseconds ms_;
    std::unique_ptr<QTimer> timer_;
    QMetaObject::Connection gone_;
    std::coroutine_handle<> handle_;
    bool alive_ = false;
};
inline Sleep sleep(QObject* context, std::chrono::milliseconds ms) {
    return Sleep(context, ms);
}

} // namespace await
