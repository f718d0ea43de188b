#pragma once
// Message boxes go through this seam so every dialog path can run headless in tests.
#include <QString>

class QWidget;

class MessageBoxes {
public:
    enum class Answer { Ok, Cancel };
    virtual ~MessageBoxes() = default;
    // An empty title means the application's display name, as the default caption.
    virtual void information(QWidget* parent, const QString& text, const QString& title = {}) = 0;
    virtual void critical(QWidget* parent, const QString& text, const QString& title = {}) = 0;
    // Question icon with OK and Cancel.
    virtual Answer question(QWidget* parent, const QString& text, const QString& title = {}) = 0;
};

// The process-wide instance; a real QMessageBox implementation unless a test installed another.
MessageBoxes& messageBoxes();
// Installs `boxes` (not owned); nullptr restores the real one.
void setMessageBoxes(MessageBoxes* boxes);
