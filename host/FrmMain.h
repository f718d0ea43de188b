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

    // Centres the window's frame on its screen; the size is kept where it fits the screen's free area,
    // else shrunk to fit (frame included), and a frame that cannot be centred there is kept within it.
    // Before the window is first shown the window system has not given it a frame yet, so this is
    // repeated once, when the window is first exposed with its frame.
    void Form_Load();
    // The place and size the window had when it was last closed (window.conf), fitted to the screen;
    // false, changing nothing, when none is kept.
    bool restorePlace();
    // Fits uVornik1 to the window's outer size (see controlRectForOuterSize). Also done again when
    // the window manager's frame arrives after the window was shown, which changes the outer size
    // without a resize.
    void Form_Resize();

    QWidget* uVornik1 = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void refitToFrame();

    bool centreWhenFramed_ = false;
    bool keepWhenFramed_ = false;
    // The outer size the control was last fitted to.
    QSize fittedOuter_;
};
