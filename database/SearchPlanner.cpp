#include "database/SearchPlanner.h"

#include "database/CompanionSchema.h"

#include <algorithm>
#include <numeric>

namespace searchindex {

namespace {

const QString kLikeEscape = QStringLiteral(" escape '!'");

// A text whose weights every server with the collation as the index was built for gives alike:
// case and accents, ß, Greek, Cyrillic, full width, CJK, above U+FFFF, U+FFFD, CR LF, the
// wildcards, quotes, a backslash and a trailing blank (which WEIGHT_STRING must keep).
const QString kSelfTest = QStringLiteral(
    "_utf8mb4 X'41c3a920c389206520c39f207320cea920cf8920d09620d0b620efbd81efbca120e7bd9120f09f98"
    "80efbfbd0d0a21255f5c2720'");
const QString kSelfTestWeights =
    QStringLiteral("0041004500200045002000450020005300200053002003A9002003A900200416002004160020FF21FF210020"
                   "7F510020FFFDFFFD000D000A00210025005F005C00270020");

// The weights of a piece as the probe returns them: hex of WEIGHT_STRING(piece + '.').
std::optional<std::vector<std::uint16_t>> weightsFromHex(const QString& hex, const QString& piece) {
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    const qsizetype characters = piece.toUcs4().size();
    if (bytes.size() != 2 * (characters + 1))
        return std::nullopt;
    std::vector<std::uint16_t> w;
    for (qsizetype i = 0; i < characters; ++i)
        w.push_back(static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[2 * i]) << 8) |
                                               static_cast<unsigned char>(bytes[2 * i + 1])));
    return w;
}

int rank(const Term& t) {
    // Triples narrow most, pairs next; a lone character's union of pairs least.
    return t.prefix ? 2 : gramLength(t.gram) == 3 ? 0 : 1;
}

} // namespace

QString likePattern(const QString& value) {
    QString pattern = value;
    pattern.replace(u'!', QStringLiteral("!!"));
    return u'%' + pattern + u'%';
}

QStringList literalPieces(const QString& value) {
    QStringList pieces;
    QString piece;
    for (const QChar c : value) {
        if (c == u'%' || c == u'_') {
            if (!piece.isEmpty())
                pieces << piece;
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.isEmpty())
        pieces << piece;
    return pieces;
}

Statement scanStatement(Mode mode, const QString& value) {
    const QString pattern = likePattern(value);
    if (mode == Mode::Title)
        return {QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name  where `name` like ?") +
                    kLikeEscape,
                {pattern}};
    return {QStringLiteral("select  `dataid`,`name`,`data` from SearchTxt_Data where `data` like ?") +
                kLikeEscape + QStringLiteral(" or `name` like ?") + kLikeEscape,
            {pattern, pattern}};
}

std::vector<Term> keyTerms(const std::vector<std::vector<std::uint16_t>>& pieceWeights) {
    std::vector<Term> terms;
    const auto add = [&](Term t) {
        if (std::find(terms.begin(), terms.end(), t) == terms.end())
            terms.push_back(t);
    };
    for (const std::vector<std::uint16_t>& w : pieceWeights) {
        if (w.size() == 1) {
            add({gram1(w[0]), true});
            continue;
        }
        // The last weight of a piece is not a record's last: only pairs and triples here.
        forEachGram(w.data(), w.size(), [&](Gram g) {
            if (gramLength(g) > 1)
                add({g, false});
        });
    }
    std::stable_sort(terms.begin(), terms.end(),
                     [](const Term& a, const Term& b) { return rank(a) < rank(b); });
    return terms;
}

SearchPlanner::SearchPlanner(QString database, Mode mode, QString value, Limits limits)
    : database_(std::move(database)), companion_(companion::quoted(companion::nameFor(database_))),
      mode_(mode), value_(std::move(value)), limits_(limits) {
    plan_.statement = scanStatement(mode_, value_);
    pieces_ = literalPieces(value_);
    if (pieces_.isEmpty())
        scan(QStringLiteral("no literal text"));
}

void SearchPlanner::scan(const QString& why) {
    plan_.statement = scanStatement(mode_, value_);
    plan_.usesIndex = false;
    plan_.why = why;
    step_ = Step::Done;
}

std::vector<int> SearchPlanner::columns() const {
    if (mode_ == Mode::Title)
        return {kNameColumn};
    return {kNameColumn, kDataColumn};
}

std::optional<Statement> SearchPlanner::next() {
    switch (step_) {
    case Step::Probe:
        return probeStatement();
    case Step::Counts:
        return countsStatement();
    case Step::Postings:
        return postingsStatement();
    case Step::Done:
        break;
    }
    return std::nullopt;
}

void SearchPlanner::take(const Result<QueryOutcome>& outcome) {
    if (step_ == Step::Done)
        return;
    if (!outcome) {
        scan(QStringLiteral("the index could not be read: ") + outcome.error().description);
        return;
    }
    const std::shared_ptr<const ResultTable>& table = outcome.value().result;
    if (!table) {
        scan(QStringLiteral("the index gave no rows"));
        return;
    }
    const Step was = step_;
    const bool ok = was == Step::Probe    ? readProbe(*table)
                    : was == Step::Counts ? readCounts(*table)
                                          : readPostings(*table);
    if (!ok && step_ != Step::Done)
        scan(QStringLiteral("the index gave what was not expected"));
}

Statement SearchPlanner::probeStatement() const {
    QString sql =
        QStringLiteral(
            "SELECT m.`format`, m.`gram_rule`, m.`collation_name`, m.`state`, m.`records`, "
            "m.`feed_seq`, %1.`vornik_check`('index') = m.`index_sig`, (SELECT COUNT(*) FROM (SELECT 1 "
            "FROM %1.`queue` LIMIT %2) q), HEX(WEIGHT_STRING(%3 COLLATE utf8mb4_general_ci)) = '%4' AND "
            "(SELECT COUNT(*) FROM JSON_TABLE('[1]', '$[*]' COLUMNS (`n` INT PATH '$')) j) = 1")
            .arg(companion_)
            .arg(limits_.maxQueued + 1)
            .arg(kSelfTest, kSelfTestWeights);
    // (The search's statement binds its candidates as JSON: a server without JSON_TABLE, older than
    // MariaDB 10.6 or MySQL 8.0, fails here and its searches scan.)
    SqlParams params;
    // A character appended keeps trailing blanks in, whatever the server does with them at the end.
    for (const QString& piece : pieces_) {
        sql += QStringLiteral(", HEX(WEIGHT_STRING(CONCAT(?, '.') COLLATE utf8mb4_general_ci))");
        params << piece;
    }
    sql += QStringLiteral(" FROM %1.`meta` m WHERE m.`id` = 1").arg(companion_);
    return {sql, params};
}

bool SearchPlanner::readProbe(const ResultTable& t) {
    if (t.rowCount() != 1 || t.columns.size() != static_cast<std::size_t>(9 + pieces_.size())) {
        scan(QStringLiteral("not installed"));
        return true;
    }
    const auto at = [&](int c) { return t.columns[static_cast<std::size_t>(c)].at(0); };
    if (at(0) != QString::number(kFormat) || at(1) != kGramRule || at(2) != kCollation) {
        scan(QStringLiteral("an index of another format"));
        return true;
    }
    if (at(3) != companion::kStateReady) {
        scan(QStringLiteral("the index is not ready (%1)").arg(at(3)));
        return true;
    }
    if (at(6) != u"1") {
        scan(QStringLiteral("the triggers or the columns' collations are not as installed"));
        return true;
    }
    if (at(8) != u"1") {
        scan(QStringLiteral("the server's weights are not the ones the index was built with"));
        return true;
    }
    if (at(7).toLongLong() > limits_.maxQueued) {
        scan(QStringLiteral("the feeder is behind"));
        return true;
    }
    bool ok = false;
    const qint64 records = at(4).toLongLong(&ok);
    if (!ok)
        return false;
    seq_ = at(5);
    if (seq_.isEmpty() || !std::all_of(seq_.begin(), seq_.end(), [](QChar c) { return c.isDigit(); }))
        return false;
    cap_ = std::max<qint64>(limits_.capFloor,
                            static_cast<qint64>(static_cast<double>(records) * limits_.capFraction));
    std::vector<std::vector<std::uint16_t>> weights;
    for (qsizetype i = 0; i < pieces_.size(); ++i) {
        std::optional<std::vector<std::uint16_t>> w =
            weightsFromHex(at(9 + static_cast<int>(i)), pieces_.at(i));
        if (!w)
            return false;
        weights.push_back(std::move(*w));
    }
    terms_ = keyTerms(weights);
    if (terms_.size() > static_cast<std::size_t>(limits_.counted))
        terms_.resize(static_cast<std::size_t>(limits_.counted));
    step_ = Step::Counts;
    return true;
}

QString SearchPlanner::gramCondition(const QString& alias, int column, const Term& t) const {
    if (!t.prefix)
        return QStringLiteral("%1.`col` = %2 AND %1.`gram` = %3")
            .arg(alias)
            .arg(column)
            .arg(gramLiteral(t.gram));
    // Every pair the character starts, and the records it ends; not the triples it starts.
    const std::uint16_t w = gramFirst(t.gram);
    return QStringLiteral("%1.`col` = %2 AND %1.`gram` BETWEEN %3 AND %4 AND LENGTH(%1.`gram`) <= 4")
        .arg(alias)
        .arg(column)
        .arg(gramLiteral(gram1(w)), gramLiteral(gram2(w, 0xFFFF)));
}

Statement SearchPlanner::countsStatement() const {
    QStringList parts;
    for (const int c : columns()) {
        for (std::size_t j = 0; j < terms_.size(); ++j)
            parts << QStringLiteral("SELECT %1, %2, COALESCE(SUM(g.`total`), 0) FROM %3.`grams` g WHERE %4")
                         .arg(c)
                         .arg(j)
                         .arg(companion_, gramCondition(QStringLiteral("g"), c, terms_[j]));
    }
    return {parts.join(QStringLiteral(" UNION ALL ")), {}};
}

bool SearchPlanner::readCounts(const ResultTable& t) {
    const std::vector<int> cols = columns();
    counts_.assign(2, std::vector<qint64>(terms_.size(), -1));
    chosen_.assign(2, {});
    for (qint64 r = 0; r < t.rowCount(); ++r) {
        const int c = t.columns[0].at(r).toInt();
        const int j = t.columns[1].at(r).toInt();
        if (c < 0 || c > 1 || j < 0 || j >= static_cast<int>(terms_.size()))
            return false;
        counts_[static_cast<std::size_t>(c)][static_cast<std::size_t>(j)] = t.columns[2].at(r).toLongLong();
    }
    bool anyPostings = false;
    for (const int c : cols) {
        const std::vector<qint64>& n = counts_[static_cast<std::size_t>(c)];
        if (std::find(n.begin(), n.end(), -1) != n.end())
            return false;
        std::vector<int> order(n.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return n[a] < n[b]; });
        const qint64 rarest = n[static_cast<std::size_t>(order.front())];
        if (rarest > cap_) {
            scan(QStringLiteral("a common value"));
            return true;
        }
        if (rarest == 0)
            continue; // nothing in this column holds the value: no candidates from it
        // More grams narrow the candidates, but each costs the reading of its numbers: only those
        // not much more common than the rarest.
        qint64 read = 0;
        for (const int j : order) {
            const qint64 count = n[static_cast<std::size_t>(j)];
            if (chosen_[c].size() >= static_cast<std::size_t>(limits_.intersected) ||
                (count > 8 * rarest && count > cap_) || read + count > 6 * cap_)
                break;
            chosen_[c].push_back(j);
            read += count;
        }
        anyPostings = true;
    }
    if (!anyPostings) {
        plan_.candidates = 0;
        plan_.statement = indexStatement({}, seq_);
        plan_.usesIndex = true;
        step_ = Step::Done;
        return true;
    }
    step_ = Step::Postings;
    return true;
}

Statement SearchPlanner::postingsStatement() const {
    QStringList parts;
    for (const int c : columns()) {
        for (const int j : chosen_[static_cast<std::size_t>(c)]) {
            const Term& term = terms_[static_cast<std::size_t>(j)];
            parts << QStringLiteral("SELECT %1, %2, HEX(p.`data`) FROM %3.`post` p WHERE %4")
                         .arg(c)
                         .arg(j)
                         .arg(companion_, gramCondition(QStringLiteral("p"), c, term))
                  << QStringLiteral(
                         "SELECT %1, %2, HEX(g.`tail`) FROM %3.`grams` g WHERE %4 AND g.`tail_n` > 0")
                         .arg(c)
                         .arg(j)
                         .arg(companion_, gramCondition(QStringLiteral("g"), c, term));
        }
    }
    return {parts.join(QStringLiteral(" UNION ALL ")), {}};
}

bool SearchPlanner::readPostings(const ResultTable& t) {
    std::vector<std::vector<std::vector<std::uint32_t>>> lists(
        2, std::vector<std::vector<std::uint32_t>>(terms_.size()));
    for (qint64 r = 0; r < t.rowCount(); ++r) {
        const int c = t.columns[0].at(r).toInt();
        const int j = t.columns[1].at(r).toInt();
        if (c < 0 || c > 1 || j < 0 || j >= static_cast<int>(terms_.size()))
            return false;
        const QByteArray block = QByteArray::fromHex(t.columns[2].view(r).toLatin1());
        if (!decodeBlock(block.constData(), static_cast<std::size_t>(block.size()), lists[c][j]))
            return false;
    }
    std::vector<std::uint32_t> candidates;
    for (const int c : columns()) {
        const std::vector<int>& chosen = chosen_[static_cast<std::size_t>(c)];
        if (chosen.empty())
            continue;
        std::vector<std::uint32_t> in = std::move(lists[c][chosen.front()]);
        sortUnique(in);
        for (std::size_t k = 1; k < chosen.size() && !in.empty(); ++k) {
            std::vector<std::uint32_t>& other = lists[c][chosen[k]];
            sortUnique(other);
            in = intersect(in, other);
        }
        candidates.insert(candidates.end(), in.begin(), in.end());
    }
    sortUnique(candidates);
    if (static_cast<qint64>(candidates.size()) > cap_) {
        scan(QStringLiteral("too many candidates"));
        return true;
    }
    plan_.candidates = static_cast<qint64>(candidates.size());
    plan_.statement = indexStatement(candidates, seq_);
    plan_.usesIndex = true;
    step_ = Step::Done;
    return true;
}

Statement SearchPlanner::indexStatement(const std::vector<std::uint32_t>& recnos, const QString& seq) const {
    // The candidates go in as one JSON array, bound: cheaper to parse than a list in the text.
    QString list = QStringLiteral("[");
    list.reserve(static_cast<qsizetype>(recnos.size()) * 8 + 2);
    for (const std::uint32_t r : recnos) {
        if (list.size() > 1)
            list += u',';
        list += QString::number(r);
    }
    list += u']';
    const QString candidates =
        QStringLiteral(
            "JSON_TABLE(?, '$[*]' COLUMNS (`n` INT UNSIGNED PATH '$')) j STRAIGHT_JOIN %1.`recs` r ON "
            "r.`recno` = j.`n`")
            .arg(companion_);
    const QString pattern = likePattern(value_);
    if (mode_ == Mode::Title) {
        // The map holds each indexed record's title as the feeder last read it, which is the title
        // now for every record not queued since: those are read there (no lookup in the table),
        // the queued ones through the view. Three disjoint parts: the candidates indexed before the
        // probe, every record indexed after it, the queued ids.
        const QString notQueued =
            QStringLiteral("r.`dataid` NOT IN (SELECT q.`dataid` FROM %1.`queue` q)").arg(companion_);
        return {
            QStringLiteral(
                "SELECT r.`dataid` AS `DataID`, r.`name` FROM %1 WHERE r.`seq` <= %3 AND r.`name` LIKE ?%4 "
                "AND %5 UNION ALL SELECT r.`dataid`, r.`name` FROM %2.`recs` r WHERE r.`seq` > %3 AND "
                "r.`name` LIKE ?%4 AND %5 UNION ALL SELECT v.`DataID`, v.`name` FROM (SELECT DISTINCT "
                "q.`dataid` FROM %2.`queue` q) x STRAIGHT_JOIN VW_SearchTxt_Name v ON v.`DataID` = "
                "x.`dataid` WHERE v.`name` LIKE ?%4 ORDER BY 1")
                .arg(candidates, companion_, seq, kLikeEscape, notQueued),
            {list, pattern, pattern, pattern}};
    }
    // The candidates, every record indexed since the probe, every queued id; read in the table.
    return {QStringLiteral(
                "SELECT d.`dataid`,d.`name`,d.`data` FROM (SELECT r.`dataid` FROM %1 UNION SELECT r.`dataid` "
                "FROM %2.`recs` r WHERE r.`seq` > %3 UNION SELECT q.`dataid` FROM %2.`queue` q) c "
                "STRAIGHT_JOIN SearchTxt_Data d ON d.`dataid` = c.`dataid` WHERE (d.`data` LIKE ?%4 OR "
                "d.`name` LIKE ?%4) ORDER BY c.`dataid`")
                .arg(candidates, companion_, seq, kLikeEscape),
            {list, pattern, pattern}};
}

Plan planSearch(Connection& conn, const QString& database, Mode mode, const QString& value,
                const Limits& limits, const std::shared_ptr<Cancellation>& cancel) {
    SearchPlanner planner(database, mode, value, limits);
    while (const std::optional<Statement> s = planner.next())
        planner.take(conn.query(s->sql, s->params, cancel));
    return planner.plan();
}

} // namespace searchindex
