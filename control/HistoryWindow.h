#pragma once
// The history's two windows, offered only where vornik-admin installed the history: "历史版本…" lists
// one record's earlier versions (newest first) and "恢复此版本" stores the selected one as the record
// again; "回收站…" lists the records deleted and not stored again, and "恢复" stores one back under its
// id. A version is read as the viewer reads a record: the figures line and the marks of the value
// the result was searched for.
//
// Both windows are non-modal and never hold the window thread: every statement runs on the shared
// connection, awaited by a coroutine on the control's handlers, and the list shows the statement's
// rows as they came, laying out only the rows in view. Reading needs no pass of the gate (it touches
// nothing but the window, and a newer read of the window ends the older one on the server); a
// restore is a command of the gate, like a modify. The window may be closed or destroyed while one
// waits: each checks it is still there, and still the newest of its kind, before it goes on.
#include "control/CommandGate.h"
#include "control/StatusLine.h"
#include "database/Connection.h"
#include "util/Co.h"
#include "util/Lifetime.h"

#include <QDialog>
#include <QPointer>

#include <memory>
#include <optional>

namespace forms {
class Transaction;
}

class Handlers;
class Highlighter;
class HistoryModel;
class HistoryWindows;
class LargeTextView;
class QLineEdit;
class QPushButton;
class QTextEdit;
class QTreeView;
class RecordCommands;
class ResultLoader;

class HistoryWindow : public QDialog, public StatusLine {
    Q_OBJECT
public:
    enum class Kind { Versions, Trash };
    HistoryWindow(Kind kind, HistoryWindows& owner, QWidget* parent);
    ~HistoryWindow() override;

    // The window's own status line.
    void ShowStatus(const QString& message) override;

    // Shows the window and lists record `id`'s versions (Versions) or the trash afresh; returns at the
    // read's first wait.
    void open(const QString& id = {}, const QString& title = {});
    // Stores the selected version (or trash item) as the record, after asking. Started as a handler:
    // returns at its first wait.
    void restoreSelected();

    // Rows listed, and whether a list is still being read.
    int rows() const;
    bool loading() const { return loading_; }
    const QString& recordId() const { return id_; }

    QTreeView* list;
    QTextEdit* box;
    QPushButton* restoreButton;
    QPushButton* closeButton;
    QLineEdit* status;

protected:
    void done(int result) override;

private:
    enum class Restored { Done, Changed, Exists, Gone, Failed };
    struct Restore {
        Restored outcome = Restored::Failed;
        Error error; // of Failed
    };
    void load();
    Co<> readList(quint64 serial, std::shared_ptr<Cancellation> cancel);
    void finishLoad(const QString& message);
    void showItem(int row);
    Co<> readItem(int row, qint64 hid, quint64 serial);
    void buildList(bool versions); // the list of versions or of deleted records, and its columns
    void layOut();                 // the list over the text, the buttons, the status line; tab order
    void stop();
    Co<> restore();
    // The restore's statements, in one transaction; they touch no window, so they finish (or roll
    // back) also when the window goes meanwhile. A version is stored over record `id` only while it
    // is still as `opened` read it.
    static Co<Restore> restoreVersion(qint64 hid, QString id, std::shared_ptr<const ResultTable> opened);
    static Co<Restore> restoreTrashItem(qint64 hid);
    // Both restores' last steps in `transaction` (awaited by its holder): the record stored, checked for
    // warnings, committed.
    static Co<Restore> storeRestored(forms::Transaction& transaction, QPointer<Connection> conn,
                                     SqlParams values, bool fromTrash);
    // The box that tells how a restore of record `id` (its version of `at`, its title) ended.
    QString restoredText(Restored outcome, const QString& id, const QString& at, const QString& title,
                         const Error& error) const;

    Kind kind_;
    HistoryWindows& owner_;
    HistoryModel* model_;
    LargeTextView* large_;
    QPointer<Highlighter> highlighter_;
    QString id_;
    QString title_;
    // The record as it was stored when its versions were listed: a restore is refused when it has
    // changed since. Null: not read.
    std::shared_ptr<const ResultTable> opened_;
    std::shared_ptr<Cancellation> cancel_;
    quint64 loadSerial_ = 0;
    quint64 itemSerial_ = 0;
    bool loading_ = false;
    std::optional<std::pair<int, qsizetype>> pendingFigures_;
};

// Owns the two windows and decides whether they are offered.
class HistoryWindows {
public:
    HistoryWindows(CommandGate& gate, ResultLoader& loader, RecordCommands& commands, Handlers& handlers,
                   QWidget* parent);

    // Whether the history is installed for the database and account in use. Asked of the server once
    // per login (the first time the popup or the control panel opens on an open connection), so
    // usually answered without a wait; false without asking while no connection is open, and false
    // (not kept) when the answer comes after a re-login or after these windows went.
    Co<bool> available();
    // Re-login: closes both windows and forgets the answer.
    void forget();

    void showVersions(const QString& id, const QString& title);
    void showTrash();
    // Made on first use; null before.
    HistoryWindow* versions() const { return versions_; }
    HistoryWindow* trash() const { return trash_; }

    CommandGate& gate;
    ResultLoader& loader;
    RecordCommands& commands;
    // The control's: the windows' reads and restores, and the callers of available(), run on it.
    Handlers& handlers;

private:
    QWidget* parent_;
    QString checkedFor_; // the account the answer is for
    bool installed_ = false;
    quint64 forgotten_ = 0; // counts forget(): an answer asked for before one is not kept
    Lifetime lifetime_;
    QPointer<HistoryWindow> versions_;
    QPointer<HistoryWindow> trash_;
};
