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
#include "control/ListBox.h"
#include "control/VornikInterface.h"
#include "database/Recordset.h"
#include "util/ProportionalLayout.h"

#include <QMap>
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

    // Handlers, public so later work and tests can call them as the events would.
    void Label1_Click();   // raises and shows the control panel
    void CmdTestS_Click(); // toggles the test panel and raises it (also when it was just hidden)
    void UserControl_Resize();

    // The record of design geometry taken at start.
    const ProportionalLayout& layout() const { return m_layout; }

    // Children, in creation order (later ones lie above earlier ones until raised or lowered).
    QLineEdit* TxtTitle;
    ClickLabel* Label1;
    QLineEdit* txtSearchKey;
    QPushButton* cmdSearch;
    QTextEdit* RTBox;
    QPushButton* CmdTestS;
    QFrame* PicSplit;
    ListBox* List1;
    QLineEdit* TxtTS;
    QFrame* PicControlS;
    QMap<int, QPushButton*> CmdControl; // 0 download driver, 1 log in again, 99 close
    QMap<int, QCheckBox*> ChkControl;   // 0 titles only
    QFrame* PicTestS;
    QMap<int, QPushButton*> CmdTest; // 0..4 commands, chosen by caption; 99 close
    QMenu* Menus;
    std::array<QAction*, 6> Menu{}; // popup entries; 3 is the separator, 5 the export of all records

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // RsOpen that also hands the caller its own result, which a later statement run from a
    // handler while this caller yields cannot replace under it.
    QString runStatement(const QString& sql, std::shared_ptr<Recordset>& result);
    enum class Load { Done, Superseded, Failed };
    // Reads every row of `rs` into the result arrays and List1. Progress goes to the status line
    // at most about every 16 ms (first and last index always), so large results load at the speed
    // of the query while the list grows visibly and the window stays responsive.
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

    // Hands a finished result over for release in pieces between events: freeing 100,000 contents
    // in one go would stall the window for tens of milliseconds.
    void releaseLater(QStringList&& rows);
    void releaseSome();

    std::vector<QStringList> m_trash;
    QTimer* m_releaseTimer = nullptr;
    quint64 m_search = 0; // the newest search; an older one stops at its next yield
    quint64 m_statementsRun = 0;
    QString m_lastStatement;

    void createChildren();
    void initTabOrder();
    void UserControl_Initialize();

    ProportionalLayout m_layout{this, ProportionalLayout::ComboHeight::SetItemHeight};
};
