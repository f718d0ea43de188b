#include "admin/IndexAdmin.h"

#include "database/CompanionSchema.h"
#include "database/RecordHistory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>
#include <QThread>

#include <mysqld_error.h>

using companion::quoted;
using companion::textLiteral;

IndexAdmin::IndexAdmin(Connection& conn, QString database, std::function<void(const QString&)> say)
    : conn_(conn), database_(std::move(database)), companion_(companion::nameFor(database_)),
      say_(std::move(say)) {
    owner_ = QStringLiteral("%1:%2:%3")
                 .arg(QSysInfo::machineHostName())
                 .arg(QCoreApplication::applicationPid())
                 .arg(QRandomGenerator::global()->generate(), 8, 16, QChar(u'0'));
}

QString IndexAdmin::table(const QString& name) const {
    return quoted(companion_) + u'.' + quoted(name);
}

Result<std::shared_ptr<const ResultTable>> IndexAdmin::rows(const QString& sql, const SqlParams& params) {
    Result<QueryOutcome> r = conn_.query(sql, params);
    if (!r)
        return r.error();
    if (!r.value().result)
        return Error{Error::kProviderError, QStringLiteral("the statement gave no rows: ") + sql.left(120),
                     0};
    return r.value().result;
}

Status IndexAdmin::exec(const QString& sql, const SqlParams& params, quint64* affected) {
    return conn_.Execute(sql, params, affected);
}

Status IndexAdmin::execAll(const QStringList& statements) {
    for (const QString& sql : statements)
        if (Status s = exec(sql); !s)
            return s;
    return {};
}

Status IndexAdmin::transaction(const std::function<Status()>& work) {
    for (int attempt = 1;; ++attempt) {
        Status s = conn_.BeginTrans();
        if (s)
            s = work();
        if (s && beforeCommit_)
            beforeCommit_();
        if (s)
            s = conn_.CommitTrans();
        if (s)
            return s;
        if (conn_.inTransaction())
            (void)conn_.RollbackTrans();
        const unsigned code = s.error().nativeError;
        if ((code != ER_LOCK_DEADLOCK && code != ER_LOCK_WAIT_TIMEOUT) || attempt >= 10)
            return s;
        QThread::msleep(static_cast<unsigned long>(20 * attempt));
    }
}

Result<std::optional<IndexAdmin::Meta>> IndexAdmin::meta() {
    auto r =
        rows(QStringLiteral(
                 "SELECT `format`, `gram_rule`, `collation_name`, `state`, `index_sig`, `history_sig`, "
                 "`feed_seq`, `next_recno`, `records`, `dead`, `lease_owner`, "
                 "COALESCE(`lease_until` > NOW(6), 0), COALESCE(`lease_until`, '') FROM %1 WHERE `id` = 1")
                 .arg(table(QStringLiteral("meta"))));
    if (!r) {
        // No companion database (or no meta table in it): nothing installed.
        const unsigned code = r.error().nativeError;
        if (code == ER_BAD_DB_ERROR || code == ER_NO_SUCH_TABLE)
            return std::optional<Meta>();
        Error e = r.error();
        if (code == ER_TABLEACCESS_DENIED_ERROR || code == ER_DBACCESS_DENIED_ERROR)
            e.description = QStringLiteral("this account has no rights on %1 (to install, an administrator "
                                           "grants them: GRANT ALL ON %1.* TO ...): ")
                                .arg(quoted(companion_)) +
                            e.description;
        return e;
    }
    const ResultTable& t = *r.value();
    if (t.rowCount() == 0)
        return std::optional<Meta>();
    const auto at = [&](int c) { return t.columns[static_cast<std::size_t>(c)].at(0); };
    Meta m;
    m.format = at(0).toInt();
    m.gramRule = at(1);
    m.collation = at(2);
    m.state = at(3);
    m.indexSig = at(4);
    m.historySig = at(5);
    m.feedSeq = at(6).toULongLong();
    m.nextRecno = at(7).toUInt();
    m.records = at(8).toLongLong();
    m.dead = at(9).toLongLong();
    m.leaseOwner = at(10);
    m.leaseLive = at(11) == u"1";
    m.leaseUntil = at(12);
    return std::optional<Meta>(m);
}

Status IndexAdmin::checkTriggerRights() {
    // A trigger that does nothing, created and dropped at once: whether this account may create
    // triggers on the table is known before anything else is made.
    const QString probe = quoted(database_) + QStringLiteral(".`vornik_probe`");
    Status s = exec(QStringLiteral("CREATE TRIGGER %1 BEFORE INSERT ON %2.`SearchTxt_Data` FOR EACH ROW SET "
                                   "@vornik_probe = 1")
                        .arg(probe, quoted(database_)));
    if (s)
        return exec(QStringLiteral("DROP TRIGGER IF EXISTS %1").arg(probe));
    const unsigned code = s.error().nativeError;
    if (code == ER_TABLEACCESS_DENIED_ERROR || code == ER_SPECIFIC_ACCESS_DENIED_ERROR ||
        code == ER_DBACCESS_DENIED_ERROR)
        return Status::failure(
            QStringLiteral("refused: this account may not create triggers on %1.SearchTxt_Data "
                           "(it needs the TRIGGER privilege: GRANT TRIGGER ON %1.* TO ...). "
                           "Nothing was changed. The server said: %2")
                .arg(quoted(database_), s.description()));
    if (code == ER_BINLOG_CREATE_ROUTINE_NEED_SUPER)
        return Status::failure(
            QStringLiteral("refused: the server writes a binary log (a Galera node always "
                           "counts as one), and an account without SUPER may create triggers "
                           "and functions only when log_bin_trust_function_creators is ON. Set "
                           "it on every node "
                           "(SET GLOBAL log_bin_trust_function_creators = 1, and in the "
                           "server's configuration), or install as an account with SUPER. "
                           "Nothing was changed. The server said: %1")
                .arg(s.description()));
    return s;
}

Status IndexAdmin::createCompanion() {
    auto r = rows(companion::columnTypesStatement(database_));
    if (!r)
        return r.error();
    companion::ColumnTypes types;
    for (const QString& column : companion::kRecordColumns) {
        bool found = false;
        const ResultTable& t = *r.value();
        for (qint64 i = 0; i < t.rowCount(); ++i) {
            if (t.columns[0].at(i) != column)
                continue;
            const QString type = t.columns[1].at(i);
            const QString collation = t.columns[2].isNull(i) ? QString() : t.columns[2].at(i);
            static const QRegularExpression name(QStringLiteral("^[a-z0-9_]*$"));
            if (!companion::plainType(type) || !name.match(collation).hasMatch())
                return Status::failure(
                    QStringLiteral("SearchTxt_Data.%1 has a type this program does not copy: %2")
                        .arg(column, type));
            types.types << type;
            types.collations << collation;
            found = true;
        }
        if (!found)
            return Status::failure(
                QStringLiteral("%1.SearchTxt_Data has no column %2").arg(quoted(database_), column));
    }
    if (Status s = execAll(companion::createStatements(database_, types)); !s) {
        if (s.error().nativeError == ER_DBACCESS_DENIED_ERROR ||
            s.error().nativeError == ER_TABLEACCESS_DENIED_ERROR)
            s.error().description =
                QStringLiteral("this account may not create the database %1 and its tables "
                               "(GRANT ALL ON %1.* TO ...): ")
                    .arg(quoted(companion_)) +
                s.description();
        return s;
    }
    if (Status s = exec(companion::checkFunctionStatement(database_)); !s)
        return s;
    return exec(QStringLiteral(
                    "INSERT IGNORE INTO %1 (`id`, `format`, `gram_rule`, `collation_name`, `state`) VALUES "
                    "(1, %2, %3, %4, %5)")
                    .arg(table(QStringLiteral("meta")))
                    .arg(searchindex::kFormat)
                    .arg(textLiteral(searchindex::kGramRule), textLiteral(searchindex::kCollation),
                         textLiteral(companion::kStateBuilding)));
}

Status IndexAdmin::installIndexTriggers() {
    QStringList create = companion::indexTriggerStatements(database_);
    for (QString& sql : create)
        sql.replace(QStringLiteral("CREATE TRIGGER"), QStringLiteral("CREATE OR REPLACE TRIGGER"));
    if (Status s = execAll(create); !s)
        return s;
    return exec(QStringLiteral("UPDATE %1 SET `index_sig` = %2.`vornik_check`('index') WHERE `id` = 1")
                    .arg(table(QStringLiteral("meta")), quoted(companion_)));
}

Status IndexAdmin::installHistoryTriggers() {
    QStringList create = companion::historyTriggerStatements(database_);
    for (QString& sql : create)
        sql.replace(QStringLiteral("CREATE TRIGGER"), QStringLiteral("CREATE OR REPLACE TRIGGER"));
    if (Status s = execAll(create); !s)
        return s;
    return exec(QStringLiteral("UPDATE %1 SET `history_sig` = %2.`vornik_check`('history') WHERE `id` = 1")
                    .arg(table(QStringLiteral("meta")), quoted(companion_)));
}

Status IndexAdmin::install(const InstallOptions& options) {
    Result<std::optional<Meta>> before = meta();
    if (!before)
        return before.status();
    const bool fresh = !before.value();
    if (Status s = checkTriggerRights(); !s)
        return s;
    if (Status s = createCompanion(); !s) {
        if (fresh)
            (void)exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(quoted(companion_)));
        return s;
    }
    // The triggers before the build: from now on every write is queued, so none made while the
    // build reads is missed.
    if (options.history) {
        if (Status s = installHistoryTriggers(); !s)
            return s;
        say_(QStringLiteral("history: recording every update and delete of %1.SearchTxt_Data in %2")
                 .arg(quoted(database_), table(QStringLiteral("history"))));
    }
    if (!options.index)
        return {};
    Result<std::optional<Meta>> now = meta();
    if (!now || !now.value())
        return now ? Status::failure(QStringLiteral("the index's meta row is missing")) : now.status();
    const Meta& m = *now.value();
    const bool current = m.format == searchindex::kFormat && m.gramRule == searchindex::kGramRule &&
                         m.collation == searchindex::kCollation;
    auto sig = rows(QStringLiteral("SELECT %1.`vornik_check`('index')").arg(quoted(companion_)));
    const bool triggersThere = sig && !m.indexSig.isEmpty() && sig.value()->rowCount() == 1 &&
                               sig.value()->columns[0].at(0) == m.indexSig;
    if (!triggersThere)
        if (Status s = installIndexTriggers(); !s)
            return s;
    if (current && triggersThere && m.state == companion::kStateReady) {
        say_(QStringLiteral("index: already installed and ready"));
        return {};
    }
    return build();
}

Status IndexAdmin::rebuild() {
    Result<std::optional<Meta>> m = meta();
    if (!m)
        return m.status();
    if (!m.value())
        return Status::failure(
            QStringLiteral("nothing is installed for %1: run install").arg(quoted(database_)));
    if (Status s = installIndexTriggers(); !s)
        return s;
    return build();
}

Status IndexAdmin::takeLease(bool force) {
    quint64 affected = 0;
    const QString sql =
        QStringLiteral("UPDATE %1 SET `lease_owner` = ?, `lease_until` = NOW(6) + INTERVAL 60 SECOND "
                       "WHERE `id` = 1 AND (%2 OR `lease_owner` = ? OR `lease_owner` = '' OR "
                       "`lease_until` IS NULL OR `lease_until` < NOW(6))")
            .arg(table(QStringLiteral("meta")), force ? QStringLiteral("TRUE") : QStringLiteral("FALSE"));
    if (Status s = exec(sql, {owner_, owner_}, &affected); !s)
        return s;
    if (affected == 1)
        return {};
    return Status::failure(QStringLiteral("another feeder holds the lease"));
}

void IndexAdmin::releaseLease() {
    (void)exec(QStringLiteral("UPDATE %1 SET `lease_owner` = '', `lease_until` = NULL WHERE `id` = 1 AND "
                              "`lease_owner` = ?")
                   .arg(table(QStringLiteral("meta"))),
               {owner_});
}

Status IndexAdmin::setState(const QString& state) {
    return exec(QStringLiteral("UPDATE %1 SET `state` = ? WHERE `id` = 1").arg(table(QStringLiteral("meta"))),
                {state});
}

void IndexAdmin::grace() {
    // A search plans with the index and then runs its statement: one that read "ready" a moment
    // ago still needs the tables for that long.
    if (graceMs_ > 0) {
        say_(QStringLiteral("waiting %1 s for searches that planned with the index").arg(graceMs_ / 1000.0));
        QThread::msleep(static_cast<unsigned long>(graceMs_));
    }
}

Status IndexAdmin::remove(bool history) {
    Result<std::optional<Meta>> m = meta();
    if (!m)
        return m.status();
    if (!m.value()) {
        say_(QStringLiteral("nothing is installed for %1").arg(quoted(database_)));
        return {};
    }
    const bool wasReady = m.value()->state == companion::kStateReady;
    if (Status s = setState(companion::kStateRemoving); !s)
        return s;
    if (Status s = execAll(companion::dropIndexTriggerStatements(database_)); !s)
        return s;
    if (wasReady)
        grace();
    if (history) {
        if (Status s = execAll(companion::dropHistoryTriggerStatements(database_)); !s)
            return s;
        if (Status s = exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(quoted(companion_))); !s)
            return s;
        say_(QStringLiteral("removed %1 (index and history); %2.SearchTxt_Data is as it was")
                 .arg(quoted(companion_), quoted(database_)));
        return {};
    }
    for (const char* name : {"queue", "recs", "grams", "post"})
        if (Status s = exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(table(QString::fromLatin1(name))));
            !s)
            return s;
    if (Status s = exec(QStringLiteral("UPDATE %1 SET `index_sig` = NULL WHERE `id` = 1")
                            .arg(table(QStringLiteral("meta"))));
        !s)
        return s;
    say_(QStringLiteral("removed the index; the history in %1 is kept (remove --history takes it too)")
             .arg(table(QStringLiteral("history"))));
    return {};
}

Status IndexAdmin::purgeHistory(int keepDays) {
    qint64 total = 0;
    // In small transactions: a cluster replicates each as one write set.
    for (;;) {
        const history::Statement purge = history::purgeStatement(companion_, keepDays, 5000);
        quint64 affected = 0;
        if (Status s = exec(purge.sql, purge.params, &affected); !s)
            return s;
        total += static_cast<qint64>(affected);
        if (affected < 5000)
            break;
    }
    say_(QStringLiteral("history: removed %1 versions recorded more than %2 days ago")
             .arg(total)
             .arg(keepDays));
    return {};
}

Status IndexAdmin::status() {
    Result<std::optional<Meta>> mr = meta();
    if (!mr)
        return mr.status();
    if (!mr.value()) {
        say_(QStringLiteral("%1: nothing installed (no %2)").arg(quoted(database_), quoted(companion_)));
        return {};
    }
    const Meta& m = *mr.value();
    auto sig = rows(QStringLiteral("SELECT %1.`vornik_check`('index'), %1.`vornik_check`('history')")
                        .arg(quoted(companion_)));
    const QString indexNow = sig ? sig.value()->columns[0].value(0) : QString();
    const QString historyNow = sig ? sig.value()->columns[1].value(0) : QString();
    const bool indexTriggers = !m.indexSig.isEmpty() && indexNow == m.indexSig;
    const bool historyTriggers = !m.historySig.isEmpty() && historyNow == m.historySig;
    auto queued = rows(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table(QStringLiteral("queue"))));
    const bool ready = m.state == companion::kStateReady && m.format == searchindex::kFormat && indexTriggers;
    say_(
        QStringLiteral(
            "index: %1 (state %2, format %3, %4, %5), %6 records, %7 queued, %8 dead record numbers")
            .arg(ready ? QStringLiteral("used by searches") : QStringLiteral("NOT used by searches"), m.state)
            .arg(m.format)
            .arg(m.gramRule, m.collation)
            .arg(m.records)
            .arg(queued ? queued.value()->columns[0].value(0) : QStringLiteral("?"))
            .arg(m.dead));
    say_(QStringLiteral("triggers: index %1, history %2")
             .arg(indexTriggers          ? QStringLiteral("as installed")
                  : m.indexSig.isEmpty() ? QStringLiteral("not installed")
                                         : QStringLiteral("CHANGED OR MISSING"),
                  historyTriggers          ? QStringLiteral("as installed")
                  : m.historySig.isEmpty() ? QStringLiteral("not installed")
                                           : QStringLiteral("CHANGED OR MISSING")));
    say_(m.leaseLive
             ? QStringLiteral("feeder: %1 holds the lease until %2").arg(m.leaseOwner, m.leaseUntil)
             : QStringLiteral("feeder: none running (the queue grows until one runs; searches stay right)"));
    auto sizes =
        rows(QStringLiteral(
                 "SELECT SUM(IF(TABLE_SCHEMA = %1, DATA_LENGTH + INDEX_LENGTH, 0)), "
                 "SUM(IF(TABLE_SCHEMA = %2 AND TABLE_NAME <> 'history', DATA_LENGTH + INDEX_LENGTH, 0)), "
                 "SUM(IF(TABLE_SCHEMA = %2 AND TABLE_NAME = 'history', DATA_LENGTH + INDEX_LENGTH, 0)) "
                 "FROM information_schema.TABLES WHERE TABLE_SCHEMA IN (%1, %2) AND (TABLE_SCHEMA = %2 OR "
                 "TABLE_NAME = 'SearchTxt_Data')")
                 .arg(textLiteral(database_), textLiteral(companion_)));
    if (sizes) {
        const auto mb = [&](int c) {
            return sizes.value()->columns[static_cast<std::size_t>(c)].value(0).toDouble() / 1048576.0;
        };
        say_(QStringLiteral("sizes: SearchTxt_Data %1 MB, index %2 MB (%3 x the table), history %4 MB")
                 .arg(mb(0), 0, 'f', 1)
                 .arg(mb(1), 0, 'f', 1)
                 .arg(mb(0) > 0 ? mb(1) / mb(0) : 0.0, 0, 'f', 2)
                 .arg(mb(2), 0, 'f', 1));
    }
    const history::Statement counts = history::countsStatement(companion_, database_);
    if (auto h = rows(counts.sql, counts.params); h && h.value()->rowCount() == 1)
        say_(QStringLiteral("history: %1 versions, %2 records in the trash, oldest %3")
                 .arg(h.value()->columns[0].at(0), h.value()->columns[1].at(0),
                      h.value()->columns[2].isNull(0)
                          ? QStringLiteral("-")
                          : h.value()->columns[2].at(0) + QStringLiteral(" UTC")));
    return {};
}
