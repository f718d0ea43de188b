#include "host/FrmMain.h"

#include "control/VornikInterface.h"
#include "host/ControlContainer.h"
#include "host/HostSizing.h"
#include "ui/MessageBoxes.h"
#include "ui/ScreenFit.h"
#include "ui/Twips.h"
#include "util/Nested.h"
#include "util/WindowSettings.h"

#include <QCloseEvent>
#include <QDebug>
#include <QEvent>
#include <QScreen>
#include <QWindow>

FrmMain::FrmMain(QWidget* parent) : QWidget(parent) {
    setObjectName("FrmMain");
    setWindowTitle("Form1");
    QFont font;
    font.setFamilies({"Tahoma"});
    font.setPointSizeF(8.25);
    setFont(font);
    resize(twipsToPixels(kDesignClientWidth), twipsToPixels(kDesignClientHeight));
}

bool FrmMain::loadControl(ControlContainer& container) {
    QString errorText;
    QWidget* control =
        container.createControl(QString::fromLatin1(vornik_identity::kProgId),
                                QString::fromLatin1(vornik_identity::kClassId), this, errorText);
    if (!control) {
        // Before the host window runs: its own edge, the one place it waits in a nested loop.
        (void)waitNested(messageBoxes().criticalBox(this, errorText, windowTitle()));
        return false;
    }
    setControl(control);
    return true;
}

void FrmMain::setControl(QWidget* control) {
    control->setParent(this);
    control->setObjectName("uVornik1");
    setTwipsGeometry(control, 480, 120, 16335, 9255);
    uVornik1 = control;
    if (isVisible())
        control->show();
}

void FrmMain::Form_Load() {
    const QScreen* s = screen();
    if (!s)
        return;
    // A high scale on a small screen: the design size would reach past the screen.
    if (const QSize fitted = sizeFittingScreen(this, size()); fitted != size())
        resize(fitted);
    const QRect area = s->geometry();
    // The outer size, decoration included. Until the window manager has framed the window this is
    // only the client size, and centring by it would leave the frame off by half the decoration.
    const QRect frame = frameGeometry();
    centreWhenFramed_ = frame.size() == size();
    // Halves of the leftover space, in twips as the window manager of the design measured them.
    const double left = pixelsToTwips(area.width() - frame.width()) / 2.0;
    const double top = pixelsToTwips(area.height() - frame.height()) / 2.0;
    // A window's position is its frame's top left corner.
    move(keptOnScreen(this, QPoint(area.x() + twipsToPixels(left), area.y() + twipsToPixels(top))));
}

bool FrmMain::restorePlace() {
    // The frame's corner and the client size, as Form_Load places the window: restoreGeometry() puts a
    // window not framed yet one title bar lower than it was.
    const auto settings = windowSettings();
    const QPoint corner = settings->value(QStringLiteral("window/place")).toPoint();
    const QSize size = settings->value(QStringLiteral("window/size")).toSize();
    if (!size.isValid() || size.isEmpty())
        return false;
    // The screen may have become smaller (or its scale larger) since.
    resize(sizeFittingScreen(this, size));
    move(keptOnScreen(this, corner));
    centreWhenFramed_ = false;
    keepWhenFramed_ = true;
    return true;
}

void FrmMain::closeEvent(QCloseEvent* event) {
    const auto settings = windowSettings();
    settings->setValue(QStringLiteral("window/place"), frameGeometry().topLeft());
    settings->setValue(QStringLiteral("window/size"), size());
    if (const QString failed = saveWindowSettings(*settings); !failed.isEmpty())
        qWarning().noquote() << failed; // the window closes all the same; nothing else is lost
    QWidget::closeEvent(event);
}

void FrmMain::Form_Resize() {
    if (!uVornik1)
        return;
    const QRect frame = frameGeometry();
    fittedOuter_ = frame.size();
    const auto place =
        controlRectForOuterSize(int(pixelsToTwips(frame.width())), int(pixelsToTwips(frame.height())));
    if (place)
        setTwipsGeometry(uVornik1, place->x(), place->y(), place->width(), place->height());
}

void FrmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void FrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The native window exists from now on; its first exposure tells when the frame is known.
    if (QWindow* window = windowHandle())
        window->installEventFilter(this);
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Expose && watched == windowHandle() && windowHandle()->isExposed()) {
        refitToFrame();
        if (centreWhenFramed_) {
            centreWhenFramed_ = false;
            // Once only: later exposures (after minimising, say) must not move a window the user placed.
            if (frameGeometry().size() != size())
                Form_Load();
        } else if (keepWhenFramed_ && frameGeometry().size() != size()) {
            // A restored place, now with its frame: still wholly on the screen.
            keepWhenFramed_ = false;
            if (const QSize fitted = sizeFittingScreen(this, size()); fitted != size())
                resize(fitted);
            if (const QPoint kept = keptOnScreen(this, frameGeometry().topLeft());
                kept != frameGeometry().topLeft())
                move(kept);
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool FrmMain::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::Move || event->type() == QEvent::WindowActivate)
        refitToFrame();
    return handled;
}

void FrmMain::refitToFrame() {
    // A window manager adds its frame only after the window is first shown. The window learns of it
    // by being exposed or moved into the frame, or at the latest by being activated, never by a
    // resize: the outer size grew while the client area kept its size.
    if (uVornik1 && frameGeometry().size() != fittedOuter_)
        Form_Resize();
}
