#pragma once
// Which statement a title or full-text search runs: the full scan it always ran, or one that reads
// only the records the search index lists under the rarest grams of the value (plus every id still
// waiting for the feeder), with the same LIKE, so that it gives the same rows in the same order.
//
// The planner is a small machine that asks for statements and is handed their outcomes, so that a
// caller may run them however it waits for the server:
//
//     SearchPlanner planner(database, Mode::Title, value);
//     while (const std::optional<Statement> s = planner.next())
//         planner.take(conn.query(s->sql, s->params));
//     run(planner.plan().statement);     // the index's statement, or the scan
//
// planSearch() does exactly that on a Connection. Whatever is not as expected (no companion
// database, no rights on it, a trigger missing, another format, a state other than ready, a stale
// self-test, a long queue, too many candidates) ends in the scan; the planner never fails.
//
// Three statements at most before the search's own: the readiness check (with the value's weights
// and the feeder's sequence number), the counts of its grams, and the postings of the rarest of
// them. Each sees the index at its own moment; the search's own statement also takes every record
// the feeder indexed after that sequence number and every id still queued, so a record indexed or
// changed in between is never missed.
#include "database/Connection.h"
#include "database/SearchGrams.h"
#include "util/Status.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace searchindex {

enum class Mode { Title, FullText };

struct Limits {
    // The rarest gram, and the candidates, must list at most this share of the records, or at
    // least capFloor of them: past that the scan is as quick.
    double capFraction = 0.02;
    qint64 capFloor = 500;
    // More ids than this waiting for the feeder: the scan.
    qint64 maxQueued = 1000;
    // Grams whose record numbers are read and intersected, per column; grams counted per column.
    int intersected = 4;
    int counted = 24;
};

struct Statement {
    QString sql;
    SqlParams params;
};

struct Plan {
    Statement statement; // what the search runs
    bool usesIndex = false;
    QString why;            // for the scan: why not the index ("no literal text", "not installed", ...)
    qint64 candidates = -1; // record numbers the index gave, queued ids aside
};

// The search value as a LIKE pattern, bound as a parameter with escape '!': "%" and "_" stay
// wildcards as users type them, "!" is doubled to stand for itself, everything else is itself.
QString likePattern(const QString& value);
// The value's literal pieces: the texts between its wildcards, empty ones left out.
QStringList literalPieces(const QString& value);
// The full scan the search has always run.
Statement scanStatement(Mode mode, const QString& value);

// A key's gram to look up: one gram, or (a piece of one character) every pair it starts together
// with the records it ends.
struct Term {
    Gram gram = 0;
    bool prefix = false;
    bool operator==(const Term&) const = default;
};
// The terms of the value's pieces, given each piece's weights.
std::vector<Term> keyTerms(const std::vector<std::vector<std::uint16_t>>& pieceWeights);

class SearchPlanner {
public:
    SearchPlanner(QString database, Mode mode, QString value, Limits limits = {});

    // The next statement to run and hand to take(); nothing once the plan is made.
    std::optional<Statement> next();
    void take(const Result<QueryOutcome>& outcome);
    const Plan& plan() const { return plan_; }

private:
    enum class Step { Probe, Counts, Postings, Done };
    void scan(const QString& why);
    bool readProbe(const ResultTable& t);
    bool readCounts(const ResultTable& t);
    bool readPostings(const ResultTable& t);
    Statement probeStatement() const;
    Statement countsStatement() const;
    Statement postingsStatement() const;
    Statement indexStatement(const std::vector<std::uint32_t>& recnos, const QString& seq) const;
    QString gramCondition(const QString& alias, int column, const Term& t) const;
    std::vector<int> columns() const;

    QString database_;
    QString companion_; // quoted
    Mode mode_;
    QString value_;
    Limits limits_;
    Step step_ = Step::Probe;
    Plan plan_;
    QStringList pieces_;
    std::vector<Term> terms_;
    qint64 cap_ = 0;
    QString seq_; // the feeder's sequence number when the probe ran
    // Per column: the terms' counts, then the terms chosen for intersecting.
    std::vector<std::vector<qint64>> counts_;
    std::vector<std::vector<int>> chosen_;
};

// Runs the planner's statements on `conn` and returns its plan.
Plan planSearch(Connection& conn, const QString& database, Mode mode, const QString& value,
                const Limits& limits = {}, const std::shared_ptr<Cancellation>& cancel = {});

} // namespace searchindex
