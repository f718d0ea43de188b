#include "ui/DialogAwait.h"

#include <QCoreApplication>

namespace await {

Finished::Finished(QDialog* dialog, QObject* context) : dialog_(dialog), state_(std::make_shared<State>()) {
    state_->context = context ? context : dialog ? dialog->parent() : nullptr;
    state_->hasContext = state_->context != nullptr;
}

Finished::~Finished() {
    QObject::disconnect(finished_);
    QObject::disconnect(destroyed_);
}

void Finished::await_suspend(std::coroutine_handle<> h) {
    state_->handle = h;
    // finished is emitted inside QDialog::done(), which goes on using the dialog afterwards: the
    // coroutine resumes from the event loop instead, so that it may even delete the dialog.
    finished_ = QObject::connect(dialog_, &QDialog::finished, [state = state_](int result) {
        if (state->resumePosted || !state->handle)
            return;
        state->result = result;
        state->resumePosted = true;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [state] {
                if (state->hasContext && !state->context)
                    state->result.reset(); // finished, but what the coroutine works on went meanwhile
                state->resume();
            },
            Qt::QueuedConnection);
    });
    destroyed_ = QObject::connect(dialog_, &QObject::destroyed, [state = state_] {
        if (!state->resumePosted && state->handle)
            state->resume(); // never finished: the coroutine learns so now and touches nothing
    });
}

Finished shownModal(QDialog* dialog, QObject* context) {
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
    return Finished(dialog, context);
}

} // namespace await
