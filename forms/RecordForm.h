#pragma once
// What the add and modify forms have in common: a fixed dialog whose children follow its size
// proportionally, that Escape closes as its close box (and Alt+F4) does (QDialog's reject()), neither
// while a write is waiting for the server, nor without asking whether to save what the user typed;
// Ctrl+S writes as the form's button does.
#include "ui/ProportionalLayout.h"
#include "util/Co.h"
#include "util/Handlers.h"

#include <QDialog>

class QLineEdit;
class QPushButton;
class QTextEdit;

namespace forms {

class RecordForm : public QDialog {
    Q_OBJECT
public:
    // The form's own handlers (a write, the question on closing) still running: tests wait for them.
    const Handlers& handlers() const { return handlers_; }

protected:
    explicit RecordForm(QWidget* parent);

    // Records the design layout and places the form on its screen. Call it at the end of the
    // derived constructor, once every child is at its design geometry and the form at its design
    // size. A screen too small for that size gets the form shrunk to fit (its children follow), again
    // when it is shown and once more when the window system has framed it.
    void Form_Load();

    // False while a write is running, and false (the box focused, the user told) when the title or
    // the body is empty: the checks made before an add or a save. A body shown in a LargeTextView
    // over the box is never empty. False too when the form went while the user was told.
    Co<bool> readyToWrite(QLineEdit* title, QTextEdit* body);

    // Whether the boxes hold what the user typed and the form has not written.
    virtual bool hasChanges() const = 0;
    // What the form's write button does; the form may be gone when it finishes.
    virtual Co<> write() = 0;
    // Starts the write as a handler of the form.
    void save() { handlers_.start(write()); }
    // The form busy (a write waits for the server) and `button` disabled, or both back.
    void setBusy(QPushButton* button, bool busy);

    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void reject() override;

private:
    void fitToScreen();
    // Asks whether to keep the changes of the closing form, and closes it as answered.
    Co<> closing();

    ProportionalLayout layout_;
    QSize designSize_;
    bool framed_ = false; // placed again once framed
    bool busy_ = false;
    bool asking_ = false; // the question on closing is shown
    Handlers handlers_;
};

// Children both forms build alike, at design geometry in twips, in the order they are called.
// A one-line box without a length limit of its own (a long stored text must not be cut), 375 high;
// a read-only one is grey and refuses typing.
QLineEdit* lineBox(QWidget* form, const char* name, int left, int top, int width, bool readOnly = false);
// The body box, "RtbData".
QTextEdit* bodyBox(QWidget* form, int left, int top, int width, int height);
// The button that writes the record. Not an auto-default button: Enter in a box must not write a
// half-typed record.
QPushButton* writeButton(QWidget* form, const char* name, const QString& caption, int left, int top,
                         int width, int height);

} // namespace forms
