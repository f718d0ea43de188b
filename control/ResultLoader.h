#pragma once
// Fills the result list and the control's ResultSet: the title search, the full-text search and the test
// panel's two listings, and RsOpen, through which every statement of the control runs. A newer load
// supersedes an older one at once (see CommandGate): the older is ended on the server, converts no
// more rows and stops at its next step, touching nothing the newer one owns.
#include "control/CommandGate.h"
#include "database/Recordset.h"
#include "database/SearchPlanner.h"
#include "util/Co.h"
#include "util/Lifetime.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class Session;
class Handlers;
class ListBox;
struct ResultSet;
class QWidget;
class StatusLine;

class ResultLoader {
public:
    ResultLoader(StatusLine& status, ListBox* list, CommandGate& gate, Session& session, ResultSet& results,
                 QWidget* dialogParent, Handlers& handlers);
    ~ResultLoader();
    ResultLoader(const ResultLoader&) = delete;
    ResultLoader& operator=(const ResultLoader&) = delete;
    // The listed result this loader fills (the history window marks a version with its value).
    const ResultSet& results() const { return results_; }

    // The title search over the view, or the full-text search over titles and contents. Started as
    // handlers: each returns at its first wait.
    void SearchFileName(const QString& key);
    void SearchTxtData(const QString& key);
    // The test panel's listings of the whole table (with contents) or every title of the view.
    // A failure (other than being refused or superseded, which say so themselves) is returned.
    Co<Status> listing(bool withContent);

    // Runs one statement into `result`, a fresh recordset that becomes the Rs (so a statement that runs
    // while this one waits never closes it): status "开始执行SQL..." (painted before the statement is
    // sent) then "SQL 执行完成!" or "SQL 出错：" + description, which is also returned. A time-out drops
    // the connection, reopens it with the held account and counts as run. A superseded statement, or
    // one whose loader went while it waited, returns a description without a status.
    Co<QString> runStatement(QString sql, SqlParams params, std::shared_ptr<Cancellation> cancel,
                             std::shared_ptr<Recordset> result);

    // The control's recordset (the design's Rs): the last statement's, replaced, never reopened, by each
    // one run, so a caller that still reads an earlier result (a handler that yielded meanwhile) keeps
    // it whole. Unopened before the first statement.
    const std::shared_ptr<Recordset>& rs() const { return rs_; }

    // Statements run through runStatement since the control started (a search's own statement
    // counts, the planner's look at the index does not), and the text of the last one.
    quint64 statementsRun() const { return statementsRun_; }
    const QString& lastStatement() const { return lastStatement_; }
    // How the last search that reached the server was answered: by the index or by the scan, and
    // for the scan why (no companion database, not ready, a common value, the index's statement
    // failed...). Nothing of it reaches the user.
    const searchindex::Plan& lastPlan() const { return lastPlan_; }

    // Called each time a load has let other handlers run, before it checks whether it was
    // superseded: lets a test start a newer load at every such point in turn.
    void setAfterYield(std::function<void()> hook) { afterYield_ = std::move(hook); }

private:
    enum class Load { Done, Superseded, Failed };
    struct Loaded {
        Load load = Load::Done;
        QString error;
    };
    // A statement's outcome text (empty when it ran) and the recordset it went into.
    struct Ran {
        QString failed;
        std::shared_ptr<Recordset> rs;
    };
    // Every point at which a load has let other handlers run (every co_await) passes here. The pass is
    // read first, so nothing of a loader destroyed meanwhile (the pass then reads superseded) is touched.
    static bool current(const CommandGate::Pass& pass, ResultLoader* self);
    // The coroutines below take the pass by reference: each is awaited by the handler holding it.
    Co<> searchFileName(QString key);
    Co<> searchTxtData(QString key);
    // When the program quits while a search waits on the server (the last window closed), the search
    // ends there, as a failed one: its statement is ended and the status line says why at once,
    // between `quitPrefix_` and `quitSuffix_` (set while a search's statements run).
    void endSearchOnQuit();
    // Reads every row of `rs` into the ResultSet and the list. Its columns share the recordset's
    // ones (a title load's placeholders are one repeated text); the list grows in steps as
    // large as it already is, with the last index of each step on the status line (first and last
    // index always), each step painted before the next, so large results list at the speed of the
    // query while the window stays live.
    Co<Loaded> loadRows(std::shared_ptr<Recordset> rs, const CommandGate::Pass& pass, bool withContent,
                        QString key);
    // A search's statement, with runStatement's status lines: the index's when the companion
    // database says it is ready (its planning statements first, each checked for being superseded
    // after), the scan otherwise, or when the index's statement fails for any reason but being
    // superseded or a lost connection. Never waits for the feeder: the planner only reads.
    Co<Ran> runSearch(searchindex::Mode mode, QString key, const CommandGate::Pass& pass);
    // runStatement in its parts: the statement into `result` (made the Rs), then its status line and
    // outcome.
    Co<Status> openStatement(QString sql, SqlParams params, std::shared_ptr<Cancellation> cancel,
                             std::shared_ptr<Recordset> result);
    Co<QString> reportStatement(Status status, std::shared_ptr<Cancellation> cancel);
    // After a time-out: the connection dropped and reopened with the held account.
    Co<> reopenAfterTimeout();
    // Lists a search's result and ends with "loaded OK", or with `errorPrefix` + the failure.
    Co<> showResult(std::shared_ptr<Recordset> rs, const CommandGate::Pass& pass, bool withContent,
                    QString key, QString errorPrefix);

    StatusLine& status_;
    ListBox* list_;
    CommandGate& gate_;
    Session& session_;
    ResultSet& results_;
    QWidget* dialogParent_;
    Handlers& handlers_;
    std::shared_ptr<Recordset> rs_ = std::make_shared<Recordset>();
    quint64 statementsRun_ = 0;
    QString lastStatement_;
    searchindex::Plan lastPlan_;
    std::function<void()> afterYield_;
    QString quitPrefix_;
    QString quitSuffix_;
    QMetaObject::Connection onQuit_;
    // Expires with the loader: a statement run without a pass (RsOpen) looks at it after each wait.
    Lifetime lifetime_;
};
