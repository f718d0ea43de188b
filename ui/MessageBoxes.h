#pragma once
// Message boxes go through this seam so every dialog path can run headless in tests. Each box is a
// coroutine: it is shown modal to the application and the caller resumes when it is answered, from the
// event loop; with the default answer (Cancel, Back) when its parent went before it was answered.
#include "util/Co.h"

#include <QString>

class QWidget;

class MessageBoxes {
public:
    enum class Answer { Ok, Cancel };
    // What to do with the unsaved changes of a form that is closing.
    enum class Closing { Save, Discard, Back };
    virtual ~MessageBoxes() = default;
    // An empty title means the application's display name, as the default caption.
    virtual Co<> informationBox(QWidget* parent, QString text, QString title = {}) = 0;
    virtual Co<> criticalBox(QWidget* parent, QString text, QString title = {}) = 0;
    // Question icon with OK and Cancel.
    virtual Co<Answer> questionBox(QWidget* parent, QString text, QString title = {}) = 0;
    // Warning icon with "保存", "不保存" and "取消" (the default: back to the form, as Escape does).
    virtual Co<Closing> askToSave(QWidget* parent, QString text, QString title = {}) = 0;
};

// The process-wide instance; a real QMessageBox implementation unless a test installed another.
MessageBoxes& messageBoxes();
// Installs `boxes` (not owned); nullptr restores the real one.
void setMessageBoxes(MessageBoxes* boxes);
