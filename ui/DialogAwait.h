#pragma once
// Waiting for a dialog without a nested loop: the dialog is shown modal to the application (as exec()
// made it; QDialog::open() would make it modal to its window only) and the coroutine resumes when it
// finishes, from the event loop, with its result; or with nothing when the dialog is destroyed before
// it finished (resumed inside that destruction), or when what the coroutine goes on to touch (the
// context, by default the dialog's parent) went before the posted resume.
#include <QDialog>
#include <QPointer>

#include <coroutine>
#include <memory>
#include <optional>

namespace await {

class Finished {
public:
    explicit Finished(QDialog* dialog, QObject* context = nullptr);
    // Moved into the coroutine frame before await_suspend; never moved once suspended.
    Finished(Finished&&) = default;
    Finished& operator=(Finished&&) = delete;
    ~Finished();

    bool await_ready() const noexcept { return !dialog_; }
    void await_suspend(std::coroutine_handle<> h);
    std::optional<int> await_resume() const { return state_->result; }

private:
    struct State {
        std::coroutine_handle<> handle;
        std::optional<int> result;
        bool resumePosted = false;
        QPointer<QObject> context;
        bool hasContext = false;
        void resume() { std::exchange(handle, {}).resume(); }
    };
    QPointer<QDialog> dialog_;
    std::shared_ptr<State> state_;
    QMetaObject::Connection finished_;
    QMetaObject::Connection destroyed_;
};

// Shows `dialog` modal to the application and waits for it to finish.
Finished shownModal(QDialog* dialog, QObject* context = nullptr);

} // namespace await
