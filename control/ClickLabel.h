#pragma once
// A label that acts as a button: it reports a click (the left button pressed and released over it),
// takes the focus by Tab, and Space or Enter click it then. An access key, when given, clicks it from
// anywhere in its window without being drawn: the caption stays as designed, and assistive
// technology announces the label as a button with that key as its shortcut.
#include <QKeySequence>
#include <QLabel>

class QShortcut;

class ClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit ClickLabel(QWidget* parent = nullptr);

    void setAccessKey(const QKeySequence& key);
    QKeySequence accessKey() const;

    // Clicks it, as the mouse, the keys or the access key do.
    void click();

Q_SIGNALS:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool pressed_ = false;
    QShortcut* accessKey_ = nullptr;
};
