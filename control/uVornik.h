#pragma once
// The search control: a search box with its button, the record viewer, the result list, the status
// line, the title line, and two hidden panels (control panel, test panel) over them. Children sit
// at fixed design positions in twips and scale with the control (ProportionalLayout).
//
// Children are public and named as in the design so the handlers added by later work, and tests,
// reach them directly; control arrays (CmdControl, ChkControl, CmdTest, Menu) are indexed as in the
// design, the close buttons of both panels having index 99.
//
// The control implements its default interface (IUVornik in control/VornikInterface.h: RsOpen,
// GetCaretPos), named in Q_INTERFACES so a host can qobject_cast to it.
#include "control/ClickLabel.h"
#include "control/DragFrame.h"
#include "control/ListBox.h"
#include "control/VornikInterface.h"
#include "database/Recordset.h"
#include "util/ProportionalLayout.h"

#include <QMap>
#include <QUrl>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

class QAction;
class QCheckBox;
class QFrame;
class QLineEdit;
class QMenu;
class QPushButton;
class QTextEdit;
class QTimer;

namespace mPublic {
// The result arrays, process-wide, indexed by list position: for a search of N rows each holds
// N + 1 elements, element N empty. RowData holds the placeholder "无内容" after a title search.
inline QStringList RowNames;
inline QStringList RowData;
inline QStringList RowIds;
inline const QString kNoContent = QStringLiteral("无内容");
} // namespace mPublic

class uVornik : public QWidget, public IUVornik {
    Q_OBJECT
    Q_INTERFACES(IUVornik)
public:
    // The design area, in twips.
    static constexpr int kDesignWidth = 12795;
    static constexpr int kDesignHeight = 6555;

    explicit uVornik(QWidget* parent = nullptr);
    ~uVornik() override;

    // Replaces the status line with "yyyy-MM-dd HH:mm:ss", one blank and `message`, then lets the
    // event loop run, so every status write is also a point where other handlers may run.
    void ShowStatus(const QString& message);

    // The library version as "major.minor.revision" (e.g. "1.0.51").
    QString GetVersionText() const;

    // Runs one statement into the shared recordset Rs: status "开始执行SQL..." then "SQL 执行完成!"
    // (or "SQL 出错：" + description, which is also returned). A time-out drops the connection and
    // reopens it with the held account, and counts as run. Returns as soon as the statement has
    // finished; the window keeps painting and handling input meanwhile.
    QString RsOpen(const QString& strSQL) override;
    // Line (as the box displays it) and column of the caret of the text box with that window id.
    void GetCaretPos(WId hwnd5, qint32& LineNo, qint32& ColNo) override;

    // The search: title search when ChkControl(0) is ticked, else full text over titles and bodies.
    void cmdSearch_Click();
    void SearchFileName(const QString& key);
    void SearchTxtData(const QString& key);
    // The viewer: shows the selected row's record and writes the figures line.
    void List1_Click();

    // Statements run through RsOpen since the control started (the viewer's one-per-click rule).
    quint64 statementsRun() const { return m_statementsRun; }
    // The text of the statement RsOpen ran last.
    const QString& lastStatement() const { return m_lastStatement; }

    // Handlers, public so tests can call them as the events would.
    void Label1_Click();   // raises and shows the control panel
    void CmdTestS_Click(); // toggles the test panel and raises it (also when it was just hidden)
    void UserControl_Resize();

    // The record commands of the result list's popup menu.
    // A released right button opens the popup at `globalPos`; "导出所有TXT" is offered only while
    // titles-only is off. The selection is not changed.
    void List1_MouseUp(Qt::MouseButton button, const QPoint& globalPos);
    // Runs the popup entry `index` (0 add, 1 delete, 2 modify, 4 export titles, 5 export all).
    void Menu_Click(int index);
    // Opens the modify form for the selected row, or says that none is selected.
    void ModiTxt();
    // Asks, then deletes the selected row's record. Empty on success or when nothing was deleted
    // (`executed` tells which), else the error's description.
    QString DeleteTxt(bool* executed = nullptr);
    // The titles file: one GBK line per listed title, CR LF ended, opened in the text editor.
    void ExportTitles();
    // One GBK file per listed row in the export folder, shown in the file manager afterwards.
    void ExportAll();

    // The folder and name (no extension) of the control library, and the files written beside it.
    // Where the library's folder cannot be written (an installed library), the exports go to the
    // user's data folder instead.
    static QString libraryFolder();
    static QString libraryName();
    static QString exportBaseFolder();
    static QString titlesFilePath();
    static QString exportFolderPath();
    // The file name of a record file for `title`: CR LF pairs removed, "/" and "|" spelled out.
    static QString recordFileName(const QString& title);

    // The control panel: 0 driver download page, 1 log in again, 99 close.
    void CmdControl_Click(int index);
    // The address the driver download command opens.
    static QUrl driverDownloadUrl();
    // The test panel: commands chosen by the button's caption, 99 also hides the panel.
    void CmdTest_Click(int index);
    void TxtTS_DblClick();
    void TxtTS_KeyUp(int keyCode);
    // The two listings of the test panel: the whole table, or every title of the view. A failure
    // ends with "服务器太忙，请稍后再试，ERROR:" + description, the list left as it was when the
    // statement gave no rows.
    void ListAll(bool withContent);

    // The date and time as the status line shows "now" in the system's default form.
    static QString defaultDateTimeText(const QDateTime& at);

    // Dragging: button and shift codes and the pointer inside the dragged widget in twips.
    void PicControlS_MouseDown(int button, int shift, double x, double y);
    void PicControlS_MouseMove(int button, int shift, double x, double y);
    void PicControlS_MouseUp(int button, int shift, double x, double y);
    void PicTestS_MouseDown(int button, int shift, double x, double y);
    void PicTestS_MouseMove(int button, int shift, double x, double y);
    void PicTestS_MouseUp(int button, int shift, double x, double y);
    void PicSplit_MouseDown(int button, int shift, double x, double y);
    void PicSplit_MouseMove(int button, int shift, double x, double y);
    void PicSplit_MouseUp(int button, int shift, double x, double y);

    // Where a drag started inside the dragged widget, in twips; GrabX == kNoDrag when none runs.
    static constexpr int kNoDrag = -999;
    struct DragState {
        int GrabX = 0;
        int GrabY = 0;
    };
    const DragState& controlPanelDrag() const { return m_controlDrag; }
    const DragState& testPanelDrag() const { return m_testDrag; }
    const DragState& splitterDrag() const { return m_splitDrag; }

    // The record of design geometry taken at start.
    const ProportionalLayout& layout() const { return m_layout; }

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
    QMap<int, QPushButton*> CmdControl; // 0 download driver, 1 log in again, 99 close
    QMap<int, QCheckBox*> ChkControl;   // 0 titles only
    DragFrame* PicTestS;
    QMap<int, QPushButton*> CmdTest; // 0..4 commands, chosen by caption; 99 close
    QMenu* Menus;
    std::array<QAction*, 6> Menu{}; // popup entries; 3 is the separator, 5 the export of all records

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // RsOpen that also hands the caller its own result, which a later statement run from a
    // handler while this caller yields cannot replace under it.
    QString runStatement(const QString& sql, std::shared_ptr<Recordset>& result);
    enum class Load { Done, Superseded, Failed };
    // Reads every row of `rs` into the result arrays and List1. The arrays share the recordset's
    // columns (what cannot be shared is built on a pool thread); the list grows in steps as large as
    // it already is, with the last index of each step on the status line (first and last index
    // always) and a yield after it, so large results list at the speed of the query while the list
    // grows visibly and the window stays responsive.
    Load loadRows(Recordset& rs, quint64 search, bool withContent, QString* error);
    // Loads a search's result and ends with "loaded OK", or with `errorPrefix` + the failure.
    void showResult(Recordset& rs, quint64 search, bool withContent, const QString& errorPrefix);
    bool superseded(quint64 search) const { return search != m_search; }
    // The search value as the inside of a LIKE pattern literal: quotes and backslashes escaped,
    // "%" and "_" kept as wildcards.
    static QString likeValue(const QString& key);
    // " ESCAPE '\'" on a session with NO_BACKSLASH_ESCAPES, else nothing: what follows each pattern.
    static QString likeEscape();
    static QString literalValue(const QString& text);

    // Hands a finished result to a pool thread to be freed: freeing 100,000 contents (or a million
    // titles) here would stall the window for tens of milliseconds.
    static void releaseLater(QStringList&& rows);

    // The result list as it stood when a command started: the commands work on these copies, so a
    // search that loads meanwhile can neither shift the rows under them nor end them early.
    struct Snapshot {
        QStringList names;
        QStringList data;
        QStringList ids;
        qsizetype rows = 0; // listed rows that the arrays hold
    };
    Snapshot snapshot() const;
    // The selected row's id and title; false when no listed row with an id is selected.
    bool selectedRecord(QString* id, QString* title) const;
    // A listing: empty when it loaded (or was superseded), else the failure's description.
    QString listing(bool withContent);
    void hidePanel(QWidget* panel);
    static void beginDrag(DragState& drag, int button, double x, double y);
    static bool dragging(const DragState& drag, int button);
    static void endDrag(DragState& drag, int button);
    // Moves `widget` by the pointer's way from where the drag started, while the drag runs.
    static void moveDragged(QWidget* widget, const DragState& drag, int button, double x, double y);

    DragState m_controlDrag;
    DragState m_testDrag;
    DragState m_splitDrag;

    quint64 m_search = 0; // the newest search; an older one stops at its next yield
    quint64 m_statementsRun = 0;
    QString m_lastStatement;

    void createChildren();
    void initTabOrder();
    void setAccessibleNames();
    void UserControl_Initialize();

    ProportionalLayout m_layout{this, ProportionalLayout::ComboHeight::SetItemHeight};
};
