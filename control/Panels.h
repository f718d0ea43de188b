#pragma once
// The control panel, the test panel and the splitter: their commands, the test panel's hidden
// gestures, and the three drags (each with its own state).
#include "control/CommandGate.h"
#include "util/Co.h"
#include "util/Lifetime.h"

#include <QMap>
#include <QUrl>

#include <memory>
#include <optional>

class Session;
class DragFrame;
class Handlers;
class HistoryWindows;
class ListBox;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QTextEdit;
class QWidget;
class RecordCommands;
class ResultLoader;
class StatusLine;

class Panels {
public:
    // The widgets the panels work on, all children of the control.
    struct Widgets {
        QWidget* control;
        QLineEdit* searchBox; // where the focus goes when a panel that held it is hidden
        QTextEdit* viewer;
        ListBox* list;
        QLineEdit* statusBox;
        DragFrame* controlPanel;
        DragFrame* testPanel;
        DragFrame* splitter;
        QMap<int, QPushButton*> testButtons;
        QPushButton* trashButton; // offered only where the history is installed
    };
    Panels(StatusLine& status, const Widgets& widgets, CommandGate& gate, Session& session,
           ResultLoader& loader, RecordCommands& commands, HistoryWindows& history, Handlers& handlers);

    void Label1_Click();   // raises and shows the control panel (with "回收站…" where it applies)
    void CmdTestS_Click(); // toggles the test panel and raises it (also when it was just hidden)
    // The control panel: 0 driver download page, 1 log in again, 2 the trash, 99 close. Logging in
    // again is started as a handler: it returns at its first wait.
    void CmdControl_Click(int index);
    // The test panel: commands chosen by the button's caption, 99 also hides the panel. Started as a
    // handler: returns at its first wait.
    void CmdTest_Click(int index);
    // A listing of the test panel, with its failure on the status line. Started as a handler.
    void ListAll(bool withContent);
    void TxtTS_DblClick();
    void TxtTS_KeyUp(int keyCode);

    // The address the driver download command opens.
    static QUrl driverDownloadUrl();

    // Where a drag started inside the dragged widget, in twips; GrabX == kNoDrag when none runs.
    static constexpr int kNoDrag = -999;
    struct DragState {
        int GrabX = 0;
        int GrabY = 0;
    };
    enum class Dragged { ControlPanel, TestPanel, Splitter };
    // Button and shift codes and the pointer inside the dragged widget in twips, as DragFrame gives them.
    void mouseDown(Dragged which, int button, double x, double y);
    void mouseMove(Dragged which, int button, double x, double y);
    void mouseUp(Dragged which, int button);
    const DragState& drag(Dragged which) const;

    // The splitter's place, kept between starts (window.conf) and across resizes: where the bar lies
    // between the viewer's top and the status line's, as a share of that height. Nothing until the bar
    // has been dragged; a place the limits do not allow at the present size is not taken.
    std::optional<double> splitterShare() const { return split_; }
    void restoreSplitter(double share);
    // Puts the bar at its kept place again, after the control has laid its children out.
    void applySplitter();

private:
    void hidePanel(QWidget* panel);
    Co<> relogin();
    Co<> cmdTest(int index);
    Co<> listAll(bool withContent);
    Co<> connectionTest();
    void moveSplitter(int button, double y);
    // Whether a bar at `top` (twips) leaves both panes above their limits; and puts it there.
    bool splitterFits(double top) const;
    void placeSplitter(int topPx);

    StatusLine& status_;
    Widgets w_;
    CommandGate& gate_;
    Session& session_;
    ResultLoader& loader_;
    RecordCommands& commands_;
    HistoryWindows& history_;
    Handlers& handlers_;
    DragState drags_[3];
    std::optional<double> split_;
    // Expires with the panels: their coroutines look at it after each wait.
    Lifetime lifetime_;
};
