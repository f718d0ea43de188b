#include "ui/MessageBoxes.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QMessageBox>

namespace {

QString captionOr(const QString& title) {
    return title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;
}

// The buttons speak the program's language whether or not Qt's own translations are installed.
QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                 const QString& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, captionOr(title), text, buttons, parent);
    if (QAbstractButton* ok = box.button(QMessageBox::Ok))
        ok->setText(QStringLiteral("确定"));
    if (QAbstractButton* cancel = box.button(QMessageBox::Cancel))
        cancel->setText(QStringLiteral("取消"));
    box.setDefaultButton(QMessageBox::Ok);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

class QtMessageBoxes final : public MessageBoxes {
public:
    void information(QWidget* parent, const QString& text, const QString& title) override {
        show(parent, QMessageBox::Information, title, text, QMessageBox::Ok);
    }
    void critical(QWidget* parent, const QString& text, const QString& title) override {
        show(parent, QMessageBox::Critical, title, text, QMessageBox::Ok);
    }
    Answer question(QWidget* parent, const QString& text, const QString& title) override {
        const auto b =
            show(parent, QMessageBox::Question, title, text, QMessageBox::Ok | QMessageBox::Cancel);
        return b == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
    }
    Closing askToSave(QWidget* parent, const QString& text, const QString& title) override {
        QMessageBox box(QMessageBox::Warning, captionOr(title), text,
                        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
        box.button(QMessageBox::Save)->setText(QStringLiteral("保存(&S)"));
        box.button(QMessageBox::Discard)->setText(QStringLiteral("不保存(&N)"));
        box.button(QMessageBox::Cancel)->setText(QStringLiteral("取消"));
        box.setDefaultButton(QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
        const int b = box.exec();
        return b == QMessageBox::Save      ? Closing::Save
               : b == QMessageBox::Discard ? Closing::Discard
                                           : Closing::Back;
    }
};

QtMessageBoxes g_real;
MessageBoxes* g_current = &g_real;

} // namespace

MessageBoxes& messageBoxes() {
    return *g_current;
}

void setMessageBoxes(MessageBoxes* boxes) {
    g_current = boxes ? boxes : &g_real;
}
