#include "database/CompanionSchema.h"

#include <QRegularExpression>

namespace companion {

QString nameFor(const QString& database) {
    return database + kSuffix;
}

QString quoted(const QString& identifier) {
    QString out = identifier;
    out.replace(u'`', QStringLiteral("``"));
    return u'`' + out + u'`';
}

QString textLiteral(const QString& text) {
    return QStringLiteral("_utf8mb4 X'") + QString::fromLatin1(text.toUtf8().toHex()) + u'\'';
}

QString recordColumnList(const QString& prefix) {
    QStringList out;
    for (const QString& c : kRecordColumns)
        out << prefix + quoted(c);
    return out.join(u',');
}

bool plainType(const QString& type) {
    static const QRegularExpression plain(QStringLiteral("^[a-z]+( ?\\([0-9]+\\))?( unsigned)?$"));
    return plain.match(type).hasMatch();
}

QString ColumnTypes::definition(int column) const {
    QString d = types.value(column);
    if (!collations.value(column).isEmpty())
        d += QStringLiteral(" CHARACTER SET %1 COLLATE %2")
                 .arg(collations.value(column).section(u'_', 0, 0), collations.value(column));
    return d;
}

QString columnTypesStatement(const QString& database) {
    return QStringLiteral(
               "SELECT LOWER(COLUMN_NAME), COLUMN_TYPE, COLLATION_NAME FROM information_schema.COLUMNS "
               "WHERE TABLE_SCHEMA = %1 AND TABLE_NAME = 'SearchTxt_Data'")
        .arg(textLiteral(database));
}

namespace {

const QString kInnoDb = QStringLiteral(" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci");

QString table(const QString& database, const QString& name) {
    return quoted(nameFor(database)) + u'.' + quoted(name);
}

QString records(const QString& database) {
    return quoted(database) + QStringLiteral(".`SearchTxt_Data`");
}

QString trigger(const QString& database, const QString& name) {
    return quoted(database) + u'.' + quoted(name);
}

// Every column of the old and the new row the same, byte for byte: a PAD SPACE collation alone
// would call an edit of trailing blanks no change.
QString unchanged(const QStringList& columns) {
    QStringList same;
    for (const QString& c : columns)
        same << QStringLiteral("BINARY OLD.%1 <=> BINARY NEW.%1").arg(quoted(c));
    return same.join(QStringLiteral(" AND "));
}

QString historyInsert(const QString& database, const QString& kind, const QString& row) {
    return QStringLiteral("INSERT INTO %1 (`kind`,`at`,`account`,`conn`,%2) VALUES ('%3', UTC_TIMESTAMP(6), "
                          "USER(), CONNECTION_ID(), %4)")
        .arg(table(database, QStringLiteral("history")), recordColumnList(), kind, row);
}

QString oldRow() {
    return recordColumnList(QStringLiteral("OLD."));
}

// A trigger's body. A missing companion table (the database dropped by hand) must not stop the
// team's writes: the write goes on unrecorded, and searches, finding no index, scan.
QString body(const QString& statements) {
    return QStringLiteral("BEGIN DECLARE CONTINUE HANDLER FOR SQLSTATE '42S02' BEGIN END; %1; END")
        .arg(statements);
}

} // namespace

QStringList createStatements(const QString& database, const ColumnTypes& types) {
    const QString id = types.definition(0);
    QStringList history;
    for (int i = 0; i < kRecordColumns.size(); ++i)
        history << quoted(kRecordColumns.at(i)) + u' ' + types.definition(i) + (i == 0 ? " NOT NULL" : "");
    return {
        QStringLiteral("CREATE DATABASE IF NOT EXISTS %1 CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci")
            .arg(quoted(nameFor(database))),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS %1 (`id` TINYINT UNSIGNED NOT NULL PRIMARY KEY, "
            "`format` INT NOT NULL, `gram_rule` VARCHAR(64) NOT NULL, `collation_name` VARCHAR(64) "
            "NOT NULL, `state` VARCHAR(16) NOT NULL, `index_sig` TEXT, `history_sig` TEXT, "
            "`feed_seq` BIGINT UNSIGNED NOT NULL DEFAULT 0, `next_recno` INT UNSIGNED NOT NULL "
            "DEFAULT 1, `records` INT UNSIGNED NOT NULL DEFAULT 0, `dead` INT UNSIGNED NOT NULL "
            "DEFAULT 0, `lease_owner` VARCHAR(200) NOT NULL DEFAULT '', `lease_until` DATETIME(6), "
            "`built_at` DATETIME(6))")
                .arg(table(database, QStringLiteral("meta"))) +
            kInnoDb,
        QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (`qid` BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY "
                       "KEY, `dataid` %2 NOT NULL, KEY `by_id` (`dataid`))")
                .arg(table(database, QStringLiteral("queue")), id) +
            kInnoDb,
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS %1 (`recno` INT UNSIGNED NOT NULL PRIMARY KEY, `dataid` %2 "
            "NOT NULL, `seq` BIGINT UNSIGNED NOT NULL, `name` %3, UNIQUE KEY `by_id` (`dataid`), KEY "
            "`by_seq` (`seq`))")
                .arg(table(database, QStringLiteral("recs")), id, types.definition(1)) +
            kInnoDb,
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS %1 (`col` TINYINT UNSIGNED NOT NULL, `gram` VARBINARY(6) NOT "
            "NULL, `total` INT UNSIGNED NOT NULL, `tail_n` INT UNSIGNED NOT NULL DEFAULT 0, `tail` "
            "BLOB NOT NULL, PRIMARY KEY (`col`, `gram`))")
                .arg(table(database, QStringLiteral("grams"))) +
            kInnoDb,
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS %1 (`col` TINYINT UNSIGNED NOT NULL, `gram` VARBINARY(6) NOT "
            "NULL, `first` INT UNSIGNED NOT NULL, `n` INT UNSIGNED NOT NULL, `data` BLOB NOT NULL, "
            "PRIMARY KEY (`col`, `gram`, `first`))")
                .arg(table(database, QStringLiteral("post"))) +
            kInnoDb,
        QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (`hid` BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY "
                       "KEY, `kind` CHAR(1) NOT NULL, `at` DATETIME(6) NOT NULL, `account` VARCHAR(400) NOT "
                       "NULL, `conn` BIGINT UNSIGNED NOT NULL, %2, KEY `by_record` (`dataid`, `at`), KEY "
                       "`by_kind` (`kind`, `at`), KEY `by_time` (`at`))")
                .arg(table(database, QStringLiteral("history")), history.join(u',')) +
            kInnoDb,
    };
}

QString checkFunctionStatement(const QString& database) {
    const QString schema = textLiteral(database);
    const auto triggers = [&](const QString& prefix) {
        QString like = prefix;
        like.replace(u'_', QStringLiteral("!_"));
        // Not their creation times, which differ between a cluster's nodes.
        return QStringLiteral(
                   "(SELECT GROUP_CONCAT(TRIGGER_NAME, ':', ACTION_TIMING, ':', EVENT_MANIPULATION, "
                   "'=', MD5(ACTION_STATEMENT) ORDER BY TRIGGER_NAME SEPARATOR ',') FROM "
                   "information_schema.TRIGGERS WHERE EVENT_OBJECT_SCHEMA = %1 AND EVENT_OBJECT_TABLE "
                   "= 'SearchTxt_Data' AND TRIGGER_NAME LIKE '%2%' ESCAPE '!')")
            .arg(schema, like);
    };
    return QStringLiteral(
               "CREATE OR REPLACE DEFINER = CURRENT_USER FUNCTION %1 (`what` VARCHAR(16)) RETURNS TEXT "
               "CHARSET utf8mb4 READS SQL DATA SQL SECURITY DEFINER RETURN IF(`what` = 'history', %2, "
               "CONCAT_WS('|', (SELECT GROUP_CONCAT(LOWER(COLUMN_NAME), '=', COLLATION_NAME ORDER BY "
               "LOWER(COLUMN_NAME) SEPARATOR ',') FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = "
               "%4 AND TABLE_NAME = 'SearchTxt_Data' AND COLUMN_NAME IN ('dataid', 'name', 'data')), (SELECT "
               "MD5(VIEW_DEFINITION) FROM information_schema.VIEWS WHERE TABLE_SCHEMA = %4 AND TABLE_NAME = "
               "'VW_SearchTxt_Name'), %3))")
        .arg(table(database, QStringLiteral("vornik_check")), triggers(kHistoryTriggerPrefix),
             triggers(kIndexTriggerPrefix), schema);
}

QStringList indexTriggerStatements(const QString& database) {
    const QString queue = table(database, QStringLiteral("queue"));
    const QString on = records(database);
    return {
        QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 FOR EACH ROW %3")
            .arg(trigger(database, kIndexTriggerPrefix + QStringLiteral("ai")), on,
                 body(QStringLiteral("INSERT INTO %1 (`dataid`) VALUES (NEW.`dataid`)").arg(queue))),
        QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON %2 FOR EACH ROW %3")
            .arg(trigger(database, kIndexTriggerPrefix + QStringLiteral("au")), on,
                 body(QStringLiteral("IF NOT (%2) THEN INSERT INTO %1 (`dataid`) VALUES (OLD.`dataid`), "
                                     "(NEW.`dataid`); ELSEIF NOT (%3) THEN INSERT INTO %1 (`dataid`) VALUES "
                                     "(NEW.`dataid`); END IF")
                          .arg(queue, unchanged({QStringLiteral("dataid")}),
                               unchanged({QStringLiteral("name"), QStringLiteral("data")})))),
        QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON %2 FOR EACH ROW %3")
            .arg(trigger(database, kIndexTriggerPrefix + QStringLiteral("ad")), on,
                 body(QStringLiteral("INSERT INTO %1 (`dataid`) VALUES (OLD.`dataid`)").arg(queue))),
    };
}

QStringList historyTriggerStatements(const QString& database) {
    const QString on = records(database);
    return {
        QStringLiteral("CREATE TRIGGER %1 BEFORE UPDATE ON %2 FOR EACH ROW %3")
            .arg(trigger(database, kHistoryTriggerPrefix + QStringLiteral("bu")), on,
                 body(QStringLiteral("IF NOT (%1) THEN %2; END IF")
                          .arg(unchanged(kRecordColumns),
                               historyInsert(database, QStringLiteral("U"), oldRow())))),
        QStringLiteral("CREATE TRIGGER %1 BEFORE DELETE ON %2 FOR EACH ROW %3")
            .arg(trigger(database, kHistoryTriggerPrefix + QStringLiteral("bd")), on,
                 body(historyInsert(database, QStringLiteral("D"), oldRow()))),
        // An insert leaves only a mark (no content, which the table holds): the modify form's save is
        // a delete and an insert, and the mark lets the two be shown as one change.
        QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 FOR EACH ROW %3")
            .arg(trigger(database, kHistoryTriggerPrefix + QStringLiteral("ai")), on,
                 body(QStringLiteral("INSERT INTO %1 (`kind`,`at`,`account`,`conn`,`dataid`) VALUES ('I', "
                                     "UTC_TIMESTAMP(6), USER(), CONNECTION_ID(), NEW.`dataid`)")
                          .arg(table(database, QStringLiteral("history"))))),
    };
}

namespace {
QStringList drops(const QString& database, const QString& prefix) {
    QStringList out;
    for (const char* suffix : {"ai", "au", "ad", "bu", "bd"})
        out << QStringLiteral("DROP TRIGGER IF EXISTS %1")
                   .arg(trigger(database, prefix + QString::fromLatin1(suffix)));
    return out;
}
} // namespace

QStringList dropIndexTriggerStatements(const QString& database) {
    return drops(database, kIndexTriggerPrefix);
}

QStringList dropHistoryTriggerStatements(const QString& database) {
    return drops(database, kHistoryTriggerPrefix);
}

} // namespace companion
