#pragma once
// The test host's only window: one search control, kept fitted to the window.
#include <QWidget>

class ControlContainer;

class FrmMain : public QWidget {
    Q_OBJECT
public:
    // The client area at design time, in twips.
    static constexpr int kDesignClientWidth = 16950;
    static constexpr int kDesignClientHeight = 9585;

    explicit FrmMain(QWidget* parent = nullptr);

    // Creates uVornik1 through `container`. When it cannot, shows why in a critical message box and
    // returns false; the window then holds no control.
    bool loadControl(ControlContainer& container);
    // Places `control` as uVornik1 at its design place on the form (takes ownership).
    void setControl(QWidget* control);

    // Centres the window on its screen; the size is kept.
    void Form_Load();
    // Fits uVornik1 to the window's outer size (see controlRectForOuterSize).
    void Form_Resize();

    QWidget* uVornik1 = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    // The outer size the control was last fitted to.
    QSize m_fittedOuter;
};
