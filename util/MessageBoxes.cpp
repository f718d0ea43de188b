#include "util/MessageBoxes.h"

#include <QGuiApplication>
#include <QMessageBox>

namespace {

QString captionOr(const QString& title) {
    return title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;
}

class QtMessageBoxes final : public MessageBoxes {
public:
    void information(QWidget* parent, const QString& text, const QString& title) override {
        QMessageBox::information(parent, captionOr(title), text);
    }
    void critical(QWidget* parent, const QString& text, const QString& title) override {
        QMessageBox::critical(parent, captionOr(title), text);
    }
    Answer question(QWidget* parent, const QString& text, const QString& title) override {
        const auto b = QMessageBox::question(parent, captionOr(title), text,
                                             QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
        return b == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
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
