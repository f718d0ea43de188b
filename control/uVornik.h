#pragma once
// The search control: a search box with its button, the record viewer, the result list, the status
// line, the title line, and two hidden panels (control panel, test panel) over them. Children sit
// at fixed design positions in twips and scale with the control (ProportionalLayout).
//
// The control builds the children and owns the collaborators that do the work, each behind its own
// narrow interface: the ResultLoader (searches, listings, RsOpen), the RecordViewer, the
// RecordCommands (popup menu and exports) and the Panels (control panel, test panel, splitter). All
// of them pass one CommandGate, which decides what may start while something waits on the server.
// The public handlers below keep the design's names and only hand over to them.
//
// Children are public and named as in the design; control arrays (CmdControl, ChkControl, CmdTest,
// Menu) are indexed as in the design, the close buttons of both panels having index 99.
//
// The control implements its default interface (IUVornik in control/VornikInterface.h: RsOpen,
// GetCaretPos), named in Q_INTERFACES so a host can qobject_cast to it.
#include "control/ClickLabel.h"
#include "control/CommandGate.h"
#include "control/DragFrame.h"
#include "control/HistoryWindow.h"
#include "control/ListBox.h"
#include "control/Panels.h"
#include "control/RecordCommands.h"
#include "control/RecordViewer.h"
#include "control/ResultLoader.h"
#include "control/ResultSet.h"
#include "control/StatusLine.h"
#include "control/VornikInterface.h"
#include "database/Session.h"
#include "ui/ProportionalLayout.h"
#include "util/Handlers.h"

#include <QMap>
#include <QWidget>

#include <array>
#include <memory>

class QAction;
class QCheckBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QTextEdit;

class uVornik : public QWidget, public IUVornik, public StatusLine {
    Q_OBJECT
    Q_INTERFACES(IUVornik)
public:
    // The design area, in twips.
    static constexpr int kDesignWidth = 12795;
    static constexpr int kDesignHeight = 6555;

    explicit uVornik(QWidget* parent = nullptr);
    ~uVornik() override;

    // Replaces the status line with "yyyy-MM-dd HH:mm:ss", one blank and `message`. Never yields: it
    // paints at the caller's next co_await.
    void ShowStatus(const QString& message) override;
    // The library version as "major.minor.revision" (e.g. "1.0.51").
    QString GetVersionText() const;

    // IUVornik: runs one statement into the control's recordset Rs (see ResultLoader::runStatement),
    // and the caret of a text box by its window id (see RecordViewer::GetCaretPos).
    QString RsOpen(const QString& strSQL) override;
    void GetCaretPos(WId hwnd5, qint32& LineNo, qint32& ColNo) override;

    // The design's handlers, as the events call them.
    void cmdSearch_Click(); // title search when ChkControl(0) is ticked, else full text
    void SearchFileName(const QString& key) { loader_->SearchFileName(key); }
    void SearchTxtData(const QString& key) { loader_->SearchTxtData(key); }
    void List1_Click() { viewer_->List1_Click(); }
    void List1_MouseUp(Qt::MouseButton button, const QPoint& globalPos) {
        commands_->List1_MouseUp(button, globalPos);
    }
    void Menu_Click(int index) { commands_->Menu_Click(index); }
    void ModiTxt() { commands_->ModiTxt(); }
    void DeleteTxt() { commands_->DeleteTxt(); }
    void ExportTitles() { commands_->ExportTitles(); }
    void ExportAll() { commands_->ExportAll(); }
    void Label1_Click() { panels_->Label1_Click(); }
    void CmdTestS_Click() { panels_->CmdTestS_Click(); }
    void CmdControl_Click(int index) { panels_->CmdControl_Click(index); }
    void CmdTest_Click(int index) { panels_->CmdTest_Click(index); }
    void ListAll(bool withContent) { panels_->ListAll(withContent); }
    void TxtTS_DblClick() { panels_->TxtTS_DblClick(); }
    void TxtTS_KeyUp(int keyCode) { panels_->TxtTS_KeyUp(keyCode); }
    // Lays the children out for the control's size; the splitter keeps its place.
    void UserControl_Resize();
    // The splitter's press, as its event calls it (the drags themselves come from the frames' signals).
    void PicSplit_MouseDown(int button, int, double x, double y) {
        drag(Panels::Dragged::Splitter, DragStep::Press, button, x, y);
    }

    // The handlers started by the public ones above and still running (a command waiting for a form).
    const Handlers& handlers() const { return handlers_; }
    // The collaborators, for tests and the benchmark.
    ResultLoader& loader() { return *loader_; }
    // The listed result (the design's RowNames, RowData and RowIds).
    ResultSet& results() { return results_; }
    // The recordset the last statement run through RsOpen (or a search, a listing, a look) went into.
    std::shared_ptr<Recordset> Rs() const { return loader_->rs(); }
    const Panels& panels() const { return *panels_; }
    HistoryWindows& history() { return *history_; }
    // The account and connection the control and its collaborators open and use.
    Session& session() { return session_; }
    const ProportionalLayout& layout() const { return layout_; }

    // Children, in creation order (later ones lie above earlier ones until raised or lowered).
    QLineEdit* TxtTitle;
    ClickLabel* Label1;
    QLineEdit* txtSearchKey;
    QPushButton* cmdSearch;
    QTextEdit* RTBox;
    QPushButton* CmdTestS;
    DragFrame* PicSplit;
    ListBox* List1;
    QLineEdit* TxtTS;
    DragFrame* PicControlS;
    QMap<int, QPushButton*> CmdControl; // 0 download driver, 1 log in again, 2 the trash, 99 close
    QMap<int, QCheckBox*> ChkControl;   // 0 titles only
    DragFrame* PicTestS;
    QMap<int, QPushButton*> CmdTest; // 0..4 commands, chosen by caption; 99 close
    QMenu* Menus;
    // Popup entries; 3 and 6 are separators, 5 the export of all records, 7 the record's history.
    std::array<QAction*, 8> Menu{};

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createChildren();
    void createSearchArea();
    void createControlPanel();
    void createTestPanel();
    void createMenu();
    void connectChildren();
    void initTabOrder();
    void setAccessibleNames();
    void UserControl_Initialize();
    // The search mode and the splitter as they were left (window.conf), and kept from now on.
    void restoreState();
    enum class DragStep { Press, Move, Release };
    void drag(Panels::Dragged which, DragStep step, int button, double x, double y);

    Handlers handlers_;
    // Made once the children they work on exist.
    CommandGate gate_{*this};
    // The process's one session for now: the forms and the history windows use it as well.
    Session& session_ = sharedSession();
    ResultSet results_;
    std::unique_ptr<ResultLoader> loader_;
    std::unique_ptr<RecordViewer> viewer_;
    std::unique_ptr<RecordCommands> commands_;
    std::unique_ptr<HistoryWindows> history_;
    std::unique_ptr<Panels> panels_;
    ProportionalLayout layout_{this};
};
