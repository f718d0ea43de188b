#pragma once
// The statements that read and use the history the companion database keeps (see CompanionSchema.h):
// every earlier version of every record and every deleted one, whoever wrote it. Each is text with
// values bound; the caller runs it on its connection.
//
// What is recorded: an update keeps the old row ("U"), a delete the deleted row ("D"), an insert
// only a mark ("I", no content: the table holds it). The modify form's save is a delete and an
// insert in one transaction; a delete followed, on the same session within two seconds, by an
// insert of the same id is shown as one change, a save. Times are UTC, with microseconds; the
// account is the writer's USER().
#include "database/Connection.h"

#include <QString>

#include <optional>

namespace history {

struct Statement {
    QString sql;
    SqlParams params;
};

// One row: 1 when the history is installed and its triggers are as installed, else 0; an error
// (no companion database, no rights on it) means not installed either.
Statement installedStatement(const QString& companion);
// A record's versions, newest first: hid, at, account, change ("update", "save" or "delete"),
// title, size (characters of the body).
Statement versionsStatement(const QString& companion, const QString& dataid);
// One version's eight columns, in table order.
Statement versionStatement(const QString& companion, qint64 hid);
// The trash, newest first: records whose last recorded change is a delete and that are not stored
// now: hid, dataid, at, account, title, size.
Statement trashStatement(const QString& companion, const QString& database);
// The values of a version as versionStatement's first row gives them (NULL kept as NULL), to bind
// to restoreStatement or to fill the modify form with; nothing when there is no such row.
std::optional<SqlParams> versionValues(const ResultTable& version);
// Stores a version (its eight values, from versionValues) as a record under the id among them: a
// deleted record back exactly as it was, NULLs and line ends included. A record of that id there
// makes it fail with a duplicate key. (The version is read first and then bound: a statement that
// reads the history cannot also write it, and every insert writes a mark there.)
Statement restoreStatement(const QString& database, const SqlParams& values);
// Deletes at most `limit` rows recorded more than `keepDays` days ago.
Statement purgeStatement(const QString& companion, int keepDays, int limit);
// One row: versions kept, records in the trash, the oldest time recorded (NULL when none).
Statement countsStatement(const QString& companion, const QString& database);

} // namespace history
