#pragma once
// What the add and modify forms have in common: a fixed dialog whose children follow its size
// proportionally, that Escape closes as its close box does (QDialog's reject()), and that neither
// closes while a write is waiting for the server.
#include "ui/ProportionalLayout.h"

#include <QDialog>
#include <QPointer>

#include <utility>

class QLineEdit;
class QPushButton;
class QTextEdit;

namespace forms {

class RecordForm : public QDialog {
    Q_OBJECT
protected:
    explicit RecordForm(QWidget* parent);

    // Records the design layout and places the form on its screen. Call it at the end of the
    // derived constructor, once every child is at its design geometry.
    void Form_Load();

    // False while a write is running, and false (the box focused, the user told) when the title or
    // the body is empty: the checks made before an add or a save.
    bool readyToWrite(QLineEdit* title, QTextEdit* body);

    // Runs `work` with the form busy and `button` disabled. False when the form was deleted while
    // the work ran: the caller must then touch nothing of it.
    template <class Work> bool whileBusy(QPushButton* button, Work&& work);

    void resizeEvent(QResizeEvent* event) override;
    void reject() override;

private:
    void setBusy(QPushButton* button, bool busy);

    ProportionalLayout layout_;
    bool busy_ = false;
};

template <class Work> bool RecordForm::whileBusy(QPushButton* button, Work&& work) {
    QPointer<RecordForm> self(this);
    setBusy(button, true);
    std::forward<Work>(work)();
    if (!self)
        return false;
    setBusy(button, false);
    return true;
}

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
