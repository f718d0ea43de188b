#include "forms/RecordForm.h"

#include "forms/FormSupport.h"
#include "ui/FramedTextEdit.h"
#include "ui/LargeTextView.h"
#include "ui/MessageBoxes.h"
#include "ui/ScreenFit.h"
#include "ui/Twips.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTextEdit>
#include <QWindow>

#include <limits>

namespace forms {

RecordForm::RecordForm(QWidget* parent)
    : QDialog(parent, fixedDialogFlags()), layout_(this) {
    connect(new QShortcut(QKeySequence::Save, this), &QShortcut::activated, this, [this] {
        if (!busy_)
            save();
    });
}

void RecordForm::Form_Load() {
    layout_.SaveControlsPos();
    designSize_ = size();
    fitToScreen();
}

void RecordForm::fitToScreen() {
    const QSize fitted = sizeFittingScreen(this, designSize_);
    if (fitted != size())
        setFixedSize(fitted);
    placeOnScreen(this);
}

void RecordForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    fitToScreen();
    framed_ = frameGeometry().size() != size();
    if (!framed_ && windowHandle())
        windowHandle()->installEventFilter(this);
}

bool RecordForm::eventFilter(QObject* watched, QEvent* event) {
    // The window manager frames the form after it is shown: fitted and placed again with its frame.
    if (!framed_ && watched == windowHandle() && event->type() == QEvent::Expose &&
        frameGeometry().size() != size()) {
        framed_ = true;
        fitToScreen();
    }
    return QDialog::eventFilter(watched, event);
}

Co<bool> RecordForm::readyToWrite(QLineEdit* title, QTextEdit* body) {
    if (busy_)
        co_return false; // a second click while the first write is still running
    const QPointer<RecordForm> self(this);
    if (title->text().isEmpty()) {
        title->setFocus();
        const QString text = QStringLiteral("标题不能为空！");
        co_await messageBoxes().informationBox(this, text);
        co_return false;
    }
    if (!LargeTextView::shownOver(body) && plainText(body->document()).isEmpty()) {
        body->setFocus();
        const QString text = QStringLiteral("正文不能为空！");
        co_await messageBoxes().informationBox(this, text);
        co_return false;
    }
    co_return bool(self);
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
    if (busy_ || asking_)
        return;
    if (!hasChanges())
        return QDialog::reject();
    handlers_.start(closing());
}

Co<> RecordForm::closing() {
    const QPointer<RecordForm> self(this);
    asking_ = true;
    const QString text = QStringLiteral("“%1”中的内容还没有保存。\r\n要保存吗？").arg(windowTitle());
    const MessageBoxes::Closing answer = co_await messageBoxes().askToSave(this, text, windowTitle());
    if (!self)
        co_return;
    asking_ = false;
    if (answer == MessageBoxes::Closing::Back)
        co_return;
    if (answer == MessageBoxes::Closing::Discard) {
        QDialog::reject();
        co_return;
    }
    co_await write();
    // The modify form closes itself once saved; the add form is emptied, and closes now. A save that
    // failed or was refused has said why, and the form stays open with the text.
    if (self && isVisible() && !hasChanges())
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
    return designChild<FramedTextEdit>(form, QStringLiteral("RtbData"), left, top, width, height);
}

QPushButton* writeButton(QWidget* form, const char* name, const QString& caption, int left, int top,
                         int width, int height) {
    auto* button =
        designChild<QPushButton>(form, QString::fromLatin1(name), left, top, width, height, caption);
    button->setAutoDefault(false);
    return button;
}

} // namespace forms
