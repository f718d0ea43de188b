#pragma once
// What vornik-admin does to a team's server: installs the companion database (the search index and
// the history, see database/CompanionSchema.h), builds and feeds the index, reports, purges old
// versions and removes it all again. Every statement goes through a Connection, so the settings'
// TLS and authentication rules hold here as in the window.
//
// The index is built once in chunks (searches scan meanwhile, since the index is not ready), then
// kept by the feeder: one holder of the lease at a time takes a few hundred queued ids per
// transaction, indexes their current text under fresh record numbers (the old numbers die with
// their map rows) and deletes only the queue rows it read. Now and then it rewrites the posting
// blocks without the dead numbers, merging the small ones.
#include "database/Connection.h"
#include "database/SearchGrams.h"
#include "util/Status.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class IndexBuild;
class QElapsedTimer;

class IndexAdmin {
public:
    // `say` receives each line of progress and report.
    IndexAdmin(Connection& conn, QString database, std::function<void(const QString&)> say);

    struct InstallOptions {
        bool index = true;
        bool history = true;
    };
    // Creates what is missing (database, tables, check function, triggers), and builds the index
    // when it is not ready. Refuses, leaving nothing behind, when the account may not create
    // triggers (no TRIGGER privilege, or binary logging without log_bin_trust_function_creators).
    Status install(const InstallOptions& options);
    // Builds the index afresh (searches scan until it is ready again).
    Status rebuild();
    // Feeds until the queue is empty (or `batches` transactions, when not negative); `limit` ids per
    // transaction. Then rewrites the blocks when many record numbers are dead, or always with
    // `compact`. Returns the ids fed.
    Result<qint64> feed(int limit = 300, bool compact = false, int batches = -1);
    // Feeds as a service until `stop` is set: waits for the lease, feeds what arrives, compacts
    // when idle, reopens the connection with `reopen` when the server goes away.
    Status follow(const std::atomic<bool>& stop, const std::function<Status()>& reopen, int limit = 300);
    Status status();
    // Drops the index (its triggers and tables); with `history` also the history and then the
    // companion database. SearchTxt_Data is left as it is.
    Status remove(bool history);
    // Deletes the versions recorded more than `keepDays` days ago.
    Status purgeHistory(int keepDays);

    // How long rebuild and remove wait, after telling searches to scan, before they take the index
    // away under a search that planned with it a moment before.
    void setGraceMs(int ms) { graceMs_ = ms; }
    // Called before each feeding transaction commits (tests stop the server there).
    void setBeforeCommit(std::function<void()> hook) { beforeCommit_ = std::move(hook); }

private:
    struct Meta {
        int format = 0;
        QString gramRule, collation, state, indexSig, historySig, leaseOwner, leaseUntil;
        quint64 feedSeq = 0;
        std::uint32_t nextRecno = 1;
        qint64 records = 0;
        qint64 dead = 0;
        bool leaseLive = false;
    };
    friend class IndexBuild;
    Result<std::shared_ptr<const ResultTable>> rows(const QString& sql, const SqlParams& params = {});
    Status exec(const QString& sql, const SqlParams& params = {}, quint64* affected = nullptr);
    Status execAll(const QStringList& statements);
    // Runs `work` in a transaction, again after a deadlock or lock wait time-out (a cluster's
    // refusal at commit is a deadlock too).
    Status transaction(const std::function<Status()>& work);
    Result<std::optional<Meta>> meta();
    QString table(const QString& name) const;

    Status checkTriggerRights();
    Status createCompanion();
    Status installIndexTriggers();
    Status installHistoryTriggers();
    Status loadWeights();
    Status takeLease(bool force);
    void releaseLease();
    Status setState(const QString& state);
    Status build();
    Status startBuild();
    Result<std::uint32_t> readRecords(IndexBuild& index, const QElapsedTimer& timer);
    Status finishBuild(std::uint32_t recno, qint64 distinct, const TextColumn& qids,
                       const QElapsedTimer& timer);
    // One transaction: up to `limit` queued ids; 0 when the queue is empty. While `building`, also
    // when the index is not ready yet.
    Result<qint64> feedBatch(int limit, bool building);
    struct FeedPoint {
        std::uint32_t next = 0;
        QString seq;
    };
    Result<FeedPoint> lockFeedPoint(bool building);
    Status feedQueued(int limit, bool building, qint64& fed);
    Result<qint64> dropRecords(const QString& in, const SqlParams& ids);
    Status writeRecords(const ResultTable& t, std::uint32_t& next, const QString& seq);
    Status sealTails(const std::vector<std::pair<int, searchindex::Gram>>& touched);
    // Compaction runs in steps (a few hundred grams each), so that a follower feeds between them.
    bool compactionDue(const Meta& m) const;
    Status startCompaction();
    // One step; false once every gram has been looked at.
    Result<bool> compactStep();
    // The step's rewrite, collected before anything is written: the old rows are deleted first.
    struct Rewrite {
        QStringList blockRows;
        QStringList countRows;
        QStringList rewritten;
        QStringList emptied;
    };
    Status renewLease();
    Result<Rewrite> mergePostings(const ResultTable& grams, qint64 take, const ResultTable& post);
    Status writeRewrite(const Rewrite& r);
    Status endCompaction();
    void grace();

    Connection& conn_;
    QString database_;
    QString companion_;
    std::function<void(const QString&)> say_;
    QString owner_;
    std::optional<searchindex::WeightTable> weights_;
    int graceMs_ = 5000;
    std::function<void()> beforeCommit_;
    struct Compaction {
        std::vector<bool> live; // by record number, below `bound`
        std::uint32_t bound = 0;
        qint64 deadAtStart = 0;
        int col = 0;
        QByteArray after; // the last gram done in `col`
        qint64 rewritten = 0;
    };
    std::optional<Compaction> compaction_;
};
