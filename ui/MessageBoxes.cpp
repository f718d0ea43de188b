#include "ui/MessageBoxes.h"

#include "ui/DialogAwait.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>

namespace {

QString captionOr(const QString& title) {
    return title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;
}

// A box of the program's own, deleted when the wait ends unless its parent took it along first.
struct OwnedBox {
    QPointer<QMessageBox> box;
    ~OwnedBox() { delete box.data(); }
};

// The buttons speak the program's language whether or not Qt's own translations are installed.
QMessageBox* newBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                    QMessageBox::StandardButtons buttons) {
    auto* box = new QMessageBox(icon, captionOr(title), text, buttons, parent);
    if (QAbstractButton* ok = box->button(QMessageBox::Ok))
        ok->setText(QStringLiteral("确定"));
    if (QAbstractButton* cancel = box->button(QMessageBox::Cancel))
        cancel->setText(QStringLiteral("取消"));
    box->setDefaultButton(QMessageBox::Ok);
    return box;
}

// Shows the box and waits for it: the standard button that closed it, or Cancel when it went unanswered.
Co<QMessageBox::StandardButton> answered(QMessageBox* shown) {
    const OwnedBox owned{shown};
    const std::optional<int> result = co_await await::shownModal(shown);
    if (!result || !owned.box)
        co_return QMessageBox::Cancel;
    co_return owned.box->standardButton(owned.box->clickedButton());
}

class QtMessageBoxes final : public MessageBoxes {
public:
    Co<> informationBox(QWidget* parent, QString text, QString title) override {
        (void)co_await answered(newBox(parent, QMessageBox::Information, title, text, QMessageBox::Ok));
    }
    Co<> criticalBox(QWidget* parent, QString text, QString title) override {
        (void)co_await answered(newBox(parent, QMessageBox::Critical, title, text, QMessageBox::Ok));
    }
    Co<Answer> questionBox(QWidget* parent, QString text, QString title) override {
        const QMessageBox::StandardButton b = co_await answered(
            newBox(parent, QMessageBox::Question, title, text, QMessageBox::Ok | QMessageBox::Cancel));
        co_return b == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
    }
    Co<Closing> askToSave(QWidget* parent, QString text, QString title) override {
        auto* box = new QMessageBox(QMessageBox::Warning, captionOr(title), text,
                                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
        box->button(QMessageBox::Save)->setText(QStringLiteral("保存(&S)"));
        box->button(QMessageBox::Discard)->setText(QStringLiteral("不保存(&N)"));
        box->button(QMessageBox::Cancel)->setText(QStringLiteral("取消"));
        box->setDefaultButton(QMessageBox::Cancel);
        box->setEscapeButton(QMessageBox::Cancel);
        const QMessageBox::StandardButton b = co_await answered(box);
        co_return b == QMessageBox::Save ? Closing::Save
        : b == QMessageBox::Discard      ? Closing::Discard
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
