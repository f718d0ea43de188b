#include "control/ClickLabel.h"

#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>
#include <QStyleOptionFocusRect>

namespace {

// A button to assistive technology, whose press clicks the label and whose key is the access key.
class ClickLabelAccessible : public QAccessibleWidget {
public:
    explicit ClickLabelAccessible(ClickLabel* label) : QAccessibleWidget(label, QAccessible::Button) {}

    ClickLabel* label() const { return static_cast<ClickLabel*>(widget()); }

    QString text(QAccessible::Text t) const override {
        switch (t) {
        case QAccessible::Name:
            return label()->accessibleName().isEmpty() ? label()->text() : label()->accessibleName();
        case QAccessible::Accelerator:
            return label()->accessKey().toString(QKeySequence::NativeText);
        default:
            return QAccessibleWidget::text(t);
        }
    }
    QStringList actionNames() const override { return QAccessibleWidget::actionNames() << pressAction(); }
    void doAction(const QString& action) override {
        if (action == pressAction())
            label()->click();
        else
            QAccessibleWidget::doAction(action);
    }
    QStringList keyBindingsForAction(const QString& action) const override {
        if (action == pressAction() && !label()->accessKey().isEmpty())
            return {label()->accessKey().toString(QKeySequence::NativeText)};
        return QAccessibleWidget::keyBindingsForAction(action);
    }
};

QAccessibleInterface* accessibleFor(const QString& className, QObject* object) {
    if (className == QLatin1String("ClickLabel"))
        if (auto* label = qobject_cast<ClickLabel*>(object))
            return new ClickLabelAccessible(label);
    return nullptr;
}

} // namespace

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {
    QAccessible::installFactory(accessibleFor); // once per process: it keeps one of each
    // Tab reaches it; a click leaves the focus where it was, as the label always did.
    setFocusPolicy(Qt::TabFocus);
}

void ClickLabel::setAccessKey(const QKeySequence& key) {
    if (!accessKey_) {
        accessKey_ = new QShortcut(this);
        connect(accessKey_, &QShortcut::activated, this, &ClickLabel::click);
    }
    accessKey_->setKey(key);
}

QKeySequence ClickLabel::accessKey() const {
    return accessKey_ ? accessKey_->key() : QKeySequence();
}

void ClickLabel::click() {
    Q_EMIT clicked();
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        pressed_ = true;
    QLabel::mousePressEvent(event);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    // A press that is dragged off the label and released elsewhere is no click.
    const bool click =
        pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    if (event->button() == Qt::LeftButton)
        pressed_ = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        Q_EMIT clicked();
}

void ClickLabel::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        event->accept();
        if (!event->isAutoRepeat())
            click();
        return;
    }
    QLabel::keyPressEvent(event);
}

void ClickLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    // A label draws no focus of its own; the keyboard user must see where Tab has put it.
    if (!hasFocus())
        return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.backgroundColor = palette().color(backgroundRole());
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}
