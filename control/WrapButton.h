#pragma once
// A push button whose caption wraps onto more lines when it is wider than the button, as the test
// panel's tall buttons expect ("显示数据1 SearchTxt_Data" in a button 89 pixels wide). text() stays
// the whole caption, and the access key still works.
#include <QPushButton>

class WrapButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};
