#include "database/RecordHistory.h"

#include "database/CompanionSchema.h"

using companion::quoted;
using companion::recordColumnList;

namespace history {

namespace {

QString historyTable(const QString& companion) {
    return quoted(companion) + QStringLiteral(".`history`");
}

QString records(const QString& database) {
    return quoted(database) + QStringLiteral(".`SearchTxt_Data`");
}

// The trash's rows: the last recorded change of the id is this delete, and no record has the id.
QString trashWhere(const QString& companion, const QString& database) {
    return QStringLiteral(
               "h.`kind` = 'D' AND NOT EXISTS (SELECT 1 FROM %2 d WHERE d.`dataid` = h.`dataid`) AND NOT "
               "EXISTS (SELECT 1 FROM %1 l WHERE l.`dataid` = h.`dataid` AND (l.`at` > h.`at` OR (l.`at` = "
               "h.`at` AND l.`hid` > h.`hid`)))")
        .arg(historyTable(companion), records(database));
}

} // namespace

Statement installedStatement(const QString& companion) {
    return {QStringLiteral(
                "SELECT COALESCE(%1.`vornik_check`('history') = m.`history_sig`, 0) FROM %1.`meta` m WHERE "
                "m.`id` = 1")
                .arg(quoted(companion)),
            {}};
}

Statement versionsStatement(const QString& companion, const QString& dataid) {
    return {QStringLiteral(
                "SELECT h.`hid`, h.`at`, h.`account`, CASE WHEN h.`kind` = 'U' THEN 'update' WHEN EXISTS "
                "(SELECT 1 FROM %1 i WHERE i.`dataid` = h.`dataid` AND i.`kind` = 'I' AND i.`conn` = "
                "h.`conn` AND i.`account` = h.`account` AND i.`at` BETWEEN h.`at` AND h.`at` + INTERVAL 2 "
                "SECOND) THEN 'save' ELSE 'delete' END, h.`name`, CHAR_LENGTH(h.`data`) FROM %1 h WHERE "
                "h.`dataid` = ? AND h.`kind` IN ('U', 'D') ORDER BY h.`at` DESC, h.`hid` DESC")
                .arg(historyTable(companion)),
            {dataid}};
}

Statement versionStatement(const QString& companion, qint64 hid) {
    return {QStringLiteral("SELECT %1 FROM %2 WHERE `hid` = ? AND `kind` IN ('U', 'D')")
                .arg(recordColumnList(), historyTable(companion)),
            {QString::number(hid)}};
}

Statement trashStatement(const QString& companion, const QString& database) {
    return {QStringLiteral(
                "SELECT h.`hid`, h.`dataid`, h.`at`, h.`account`, h.`name`, CHAR_LENGTH(h.`data`) FROM %1 h "
                "WHERE %2 ORDER BY h.`at` DESC, h.`hid` DESC")
                .arg(historyTable(companion), trashWhere(companion, database)),
            {}};
}

std::optional<SqlParams> versionValues(const ResultTable& version) {
    if (version.rowCount() < 1 ||
        version.columns.size() != static_cast<std::size_t>(companion::kRecordColumns.size()))
        return std::nullopt;
    SqlParams values;
    for (const TextColumn& c : version.columns)
        values << (c.isNull(0) ? QVariant() : QVariant(c.at(0)));
    return values;
}

Statement restoreStatement(const QString& database, const SqlParams& values) {
    return {QStringLiteral("INSERT INTO %1 (%2) VALUES (?,?,?,?,?,?,?,?)")
                .arg(records(database), recordColumnList()),
            values};
}

Statement purgeStatement(const QString& companion, int keepDays, int limit) {
    return {QStringLiteral(
                "DELETE FROM %1 WHERE `at` < UTC_TIMESTAMP(6) - INTERVAL %2 DAY ORDER BY `at` LIMIT %3")
                .arg(historyTable(companion))
                .arg(keepDays)
                .arg(limit),
            {}};
}

Statement countsStatement(const QString& companion, const QString& database) {
    return {
        QStringLiteral(
            "SELECT (SELECT COUNT(*) FROM %1 WHERE `kind` IN ('U', 'D')), (SELECT COUNT(*) FROM %1 h WHERE "
            "%2), (SELECT MIN(`at`) FROM %1)")
            .arg(historyTable(companion), trashWhere(companion, database)),
        {}};
}

} // namespace history
