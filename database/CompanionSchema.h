#pragma once
// The companion database next to a team's database (`<db>_vornik`): the search index and the
// history of every record, filled by triggers on SearchTxt_Data. Everything in it is plain InnoDB,
// the one engine a Galera cluster replicates: a trigger fires only on the node that took the write,
// and the rows it writes travel in that write's own write set, so every node holds the same.
// SearchTxt_Data and the title view stay as they are (apart from the triggers), and clients that
// know nothing of it (Windows clients, the mariadb client) are recorded like everybody else.
//
//   meta     one row: format, gram rule, collation, state, what the triggers must look like, the
//            feeder's lease and counters
//   queue    ids changed since they were last indexed (AFTER INSERT/UPDATE/DELETE triggers)
//   recs     record number -> id (and the title as indexed, which the title search reads there); a
//            record gets a new number each time it is indexed again, so the old number's postings
//            die with the map row
//   grams    per (column, gram): how many record numbers are listed under it, and its open tail
//   post     per (column, gram, first record number): a sealed block of up to ~4 KB of numbers
//   history  the old row of every update and delete, and a mark for every insert (BEFORE
//            UPDATE/DELETE and AFTER INSERT triggers)
#include <QString>
#include <QStringList>

namespace companion {

inline const QString kSuffix = QStringLiteral("_vornik");
inline const QString kIndexTriggerPrefix = QStringLiteral("vornik_queue_");
inline const QString kHistoryTriggerPrefix = QStringLiteral("vornik_history_");
// States of the index in meta.state: searches use it only when ready.
inline const QString kStateBuilding = QStringLiteral("building");
inline const QString kStateReady = QStringLiteral("ready");
inline const QString kStateRemoving = QStringLiteral("removing");
// The record table's eight columns, in table order.
inline const QStringList kRecordColumns = {QStringLiteral("dataid"),       QStringLiteral("name"),
                                           QStringLiteral("data"),         QStringLiteral("createdatetime"),
                                           QStringLiteral("modidatetime"), QStringLiteral("desc"),
                                           QStringLiteral("keys"),         QStringLiteral("creator")};

// `<database>_vornik`.
QString nameFor(const QString& database);
// An identifier in backquotes, a backquote in it doubled.
QString quoted(const QString& identifier);
// A text as a string literal that reads the same in every session mode: _utf8mb4 X'...'.
QString textLiteral(const QString& text);
// The record table's columns, backquoted, comma-separated, optionally each behind `prefix`.
QString recordColumnList(const QString& prefix = {});

// The column definitions of the record table as the server reports them (information_schema
// COLUMN_TYPE and COLLATION_NAME), so that the history holds every value exactly as stored.
struct ColumnTypes {
    QStringList types;      // per column of kRecordColumns, e.g. "varchar(19)", "mediumtext"
    QStringList collations; // per column; empty for those without one
    QString definition(int column) const;
};
// The statement that reads them: rows of (name, type, collation) for the record table's columns.
QString columnTypesStatement(const QString& database);
// Whether a type the server reported may be written into a definition as it stands.
bool plainType(const QString& type);

// The companion database and its tables (IF NOT EXISTS: safe to run again).
QStringList createStatements(const QString& database, const ColumnTypes& types);
// The function through which any account with EXECUTE sees whether the triggers are there as
// installed (an account without the TRIGGER privilege sees no triggers of its own): "index" gives
// the three queue triggers, the collations of the indexed columns and the title view's definition,
// "history" the history triggers, each as one text that meta holds as it was at install.
QString checkFunctionStatement(const QString& database);
QStringList indexTriggerStatements(const QString& database);
QStringList historyTriggerStatements(const QString& database);
QStringList dropIndexTriggerStatements(const QString& database);
QStringList dropHistoryTriggerStatements(const QString& database);

} // namespace companion
