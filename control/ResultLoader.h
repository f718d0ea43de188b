#pragma once
// Fills the result list and the control's ResultSet: the title search, the full-text search and the test
// panel's two listings, and RsOpen, through which every statement of the control runs. A newer load
// supersedes an older one at once (see CommandGate): the older is ended on the server, converts no
// more rows and stops at its next step, touching nothing the newer one owns.
#include "control/CommandGate.h"
#include "database/Recordset.h"
#include "database/SearchPlanner.h"

#include <QString>

#include <functional>
#include <memory>

class Session;
class ListBox;
struct ResultSet;
class QWidget;
class StatusLine;

class ResultLoader {
public:
    ResultLoader(StatusLine& status, ListBox* list, CommandGate& gate, Session& session, ResultSet& results,
                 QWidget* dialogParent);
    // The listed result this loader fills (the history window marks a version with its value).
    const ResultSet& results() const { return results_; }

    // The title search over the view, or the full-text search over titles and contents.
    void SearchFileName(const QString& key);
    void SearchTxtData(const QString& key);
    // The test panel's listings of the whole table (with contents) or every title of the view.
    // A failure (other than being refused or superseded, which say so themselves) is returned.
    Status listing(bool withContent);

    // Runs one statement into a fresh Rs (`result` receives it, so a statement that runs while this
    // one waits never closes it): status "开始执行SQL..." then "SQL 执行完成!" or "SQL 出错：" +
    // description, which is also returned. A time-out drops the connection, reopens it with the held
    // account and counts as run. A superseded statement returns its description without a status.
    QString runStatement(const QString& sql, const SqlParams& params,
                         const std::shared_ptr<Cancellation>& cancel, std::shared_ptr<Recordset>& result);

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
    // Every point at which a load has let other handlers run passes here.
    bool current(const CommandGate::Pass& pass);
    // Reads every row of `rs` into the ResultSet and the list. Its columns share the recordset's
    // ones (a title load's placeholders are one repeated text); the list grows in steps as
    // large as it already is, with the last index of each step on the status line (first and last
    // index always), so large results list at the speed of the query while the window stays live.
    Load loadRows(Recordset& rs, const CommandGate::Pass& pass, bool withContent, const QString& key,
                  QString* error);
    // A search's statement into `result`, with runStatement's status lines: the index's when the
    // companion database says it is ready (its planning statements first, each checked for being
    // superseded after), the scan otherwise, or when the index's statement fails for any reason but
    // being superseded or a lost connection. Never waits for the feeder: the planner only reads.
    QString runSearch(searchindex::Mode mode, const QString& key, const CommandGate::Pass& pass,
                      std::shared_ptr<Recordset>& result);
    // runStatement in its parts: the statement into a fresh Rs, then its status line and outcome.
    Status openStatement(const QString& sql, const SqlParams& params,
                         const std::shared_ptr<Cancellation>& cancel, std::shared_ptr<Recordset>& result);
    QString reportStatement(const Status& status, const std::shared_ptr<Cancellation>& cancel);
    // After a time-out: the connection dropped and reopened with the held account.
    void reopenAfterTimeout();
    // Lists a search's result and ends with "loaded OK", or with `errorPrefix` + the failure.
    void showResult(Recordset& rs, const CommandGate::Pass& pass, bool withContent, const QString& key,
                    const QString& errorPrefix);

    StatusLine& status_;
    ListBox* list_;
    CommandGate& gate_;
    Session& session_;
    ResultSet& results_;
    QWidget* dialogParent_;
    std::shared_ptr<Recordset> rs_ = std::make_shared<Recordset>();
    quint64 statementsRun_ = 0;
    QString lastStatement_;
    searchindex::Plan lastPlan_;
    std::function<void()> afterYield_;
};
