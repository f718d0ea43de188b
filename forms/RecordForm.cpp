#include "forms/RecordForm.h"

#include "forms/FormSupport.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>

#include <limits>

namespace forms {

RecordForm::RecordForm(QWidget* parent)
    : QDialog(parent, fixedDialogFlags()), layout_(this, ProportionalLayout::ComboHeight::LeaveAlone) {}

void RecordForm::Form_Load() {
    layout_.SaveControlsPos();
    placeOnScreen(this);
}

bool RecordForm::readyToWrite(QLineEdit* title, QTextEdit* body) {
    if (busy_)
        return false; // a second click while the first write is still running
    if (title->text().isEmpty()) {
        title->setFocus();
        messageBoxes().information(this, QStringLiteral("标题不能为空！"));
        return false;
    }
    if (plainText(body->document()).isEmpty()) {
        body->setFocus();
        messageBoxes().information(this, QStringLiteral("正文不能为空！"));
        return false;
    }
    return true;
}

void RecordForm::setBusy(QPushButton* button, bool busy) {
    busy_ = busy;
    button->setEnabled(!busy);
}

void RecordForm::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    layout_.ResizeControls();
}

void RecordForm::reject() {
    // Escape and the close box both end here. Not while a write is waiting for the server: the
    // handler still needs the form.
    if (!busy_)
        QDialog::reject();
}

QLineEdit* lineBox(QWidget* form, const char* name, int left, int top, int width, bool readOnly) {
    auto* box = designChild<QLineEdit>(form, QString::fromLatin1(name), left, top, width, 375);
    box->setMaxLength(std::numeric_limits<int>::max());
    if (readOnly) {
        box->setReadOnly(true);
        QPalette p = box->palette();
        p.setColor(QPalette::Base, QColor(224, 224, 224));
        box->setPalette(p);
    }
    return box;
}

QTextEdit* bodyBox(QWidget* form, int left, int top, int width, int height) {
    return designChild<QTextEdit>(form, QStringLiteral("RtbData"), left, top, width, height);
}

QPushButton* writeButton(QWidget* form, const char* name, const QString& caption, int left, int top,
                         int width, int height) {
    auto* button =
        designChild<QPushButton>(form, QString::fromLatin1(name), left, top, width, height, caption);
    button->setAutoDefault(false);
    return button;
}

} // namespace forms
