#pragma once
// The one shared, lazily loaded instance of a form or dialog (the add and modify forms, the login
// dialog). A caller that waits while the form is in use (its load, its modal show: nested event
// loops in which any handler may run) holds a Use; unloading it meanwhile only marks it, and the last
// Use lets it go. So no caller ever finds the form deleted under it, and a handler of the form itself
// may unload it: the form is deleted once control is back in the event loop.
#include <QPointer>

template <class Form> class SharedInstance {
public:
    class Use {
    public:
        Use() : form_(instance()) { ++uses_; }
        ~Use() {
            if (--uses_ == 0 && unloadPending_)
                unload();
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        Form* operator->() const { return form_; }
        Form* get() const { return form_; }

    private:
        Form* form_;
    };

    // The shared instance, loaded if there is none.
    static Form* instance() {
        if (!shared_)
            shared_ = new Form();
        return shared_;
    }
    // Lets the shared instance go (once no Use holds it); the next instance() loads a fresh one.
    static void unload() {
        if (uses_ > 0) {
            unloadPending_ = true;
            return;
        }
        unloadPending_ = false;
        if (Form* form = shared_.data()) {
            shared_.clear();
            form->hide();
            form->deleteLater();
        }
    }
    static bool loaded() { return !shared_.isNull(); }

private:
    inline static QPointer<Form> shared_;
    inline static int uses_ = 0;
    inline static bool unloadPending_ = false;
};
