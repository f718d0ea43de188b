// Building, feeding and compacting the search index (see IndexAdmin.h and CompanionSchema.h).
#include "admin/IndexAdmin.h"

#include "database/CompanionSchema.h"

#include <QElapsedTimer>
#include <QThread>

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <map>
#include <unordered_map>

using namespace searchindex;
using companion::quoted;

namespace {

constexpr int kReadChunk = 2000;               // records read per statement by the build
constexpr qsizetype kStatementChars = 1 << 20; // a multi-row statement is sent at about this size
constexpr int kIdsPerStatement = 1000;
constexpr qsizetype kBuildMemory = 512 << 20; // open blocks the build holds before it writes them out
constexpr qint64 kCompactPostings = 1 << 20;  // record numbers a compaction step reads, about

QString hex(const QByteArray& bytes) {
    return QStringLiteral("X'") + QString::fromLatin1(bytes.toHex()) + u'\'';
}

// A multi-row INSERT sent whenever it reaches about kStatementChars.
class RowWriter {
public:
    RowWriter(std::function<Status(const QString&, const SqlParams&)> exec, QString head, QString tail = {})
        : exec_(std::move(exec)), head_(std::move(head)), tail_(std::move(tail)) {}
    Status add(const QString& row, const SqlParams& params = {}) {
        if (!sql_.isEmpty())
            sql_ += u',';
        sql_ += row;
        params_ += params;
        if (sql_.size() >= kStatementChars || params_.size() >= 4 * kIdsPerStatement)
            return flush();
        return {};
    }
    Status flush() {
        if (sql_.isEmpty())
            return {};
        const Status s = exec_(head_ + sql_ + tail_, params_);
        sql_.clear();
        params_.clear();
        return s;
    }

private:
    std::function<Status(const QString&, const SqlParams&)> exec_;
    QString head_, tail_, sql_;
    SqlParams params_;
};

// One column's gram and the record numbers the build has for it, not yet written.
struct Slot {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint32_t n = 0;
    std::uint32_t total = 0;
    QByteArray deltas;
};

std::uint64_t slotKey(int col, Gram g) {
    return (std::uint64_t(col) << 62) | g;
}
int slotColumn(std::uint64_t key) {
    return static_cast<int>(key >> 62);
}
Gram slotGram(std::uint64_t key) {
    return key & ((std::uint64_t(1) << 62) - 1);
}

QByteArray segmentOf(const Slot& s) {
    QByteArray out;
    appendVarint(out, s.n);
    appendVarint(out, s.first);
    out += s.deltas;
    return out;
}

// Sorted record numbers as blocks of about kBlockBytes, each one segment: (first, count, bytes).
struct Block {
    std::uint32_t first;
    std::uint32_t n;
    QByteArray data;
};
std::vector<Block> blocksOf(const std::vector<std::uint32_t>& recnos) {
    std::vector<Block> out;
    std::size_t i = 0;
    while (i < recnos.size()) {
        std::size_t j = i + 1;
        qsizetype bytes = 0;
        QByteArray deltas;
        while (j < recnos.size() && bytes < kBlockBytes - 16) {
            appendVarint(deltas, recnos[j] - recnos[j - 1]);
            bytes = deltas.size();
            ++j;
        }
        Block b{recnos[i], static_cast<std::uint32_t>(j - i), {}};
        appendVarint(b.data, b.n);
        appendVarint(b.data, b.first);
        b.data += deltas;
        out.push_back(std::move(b));
        i = j;
    }
    return out;
}

// A record's title as the map keeps it (the title search reads it there): NULL stays NULL.
QVariant nameOf(const ResultTable& t, qint64 row) {
    return t.columns[1].isNull(row) ? QVariant() : QVariant(t.columns[1].at(row));
}

} // namespace

Status IndexAdmin::loadWeights() {
    if (weights_)
        return {};
    auto r = rows(weightTableStatement());
    if (!r)
        return r.status();
    WeightTable table;
    const ResultTable& t = *r.value();
    if (t.rowCount() != 0x10000 - 0x800)
        return Status::failure(
            QStringLiteral("the server gave %1 weights, not one per character").arg(t.rowCount()));
    for (qint64 i = 0; i < t.rowCount(); ++i) {
        const QByteArray w = QByteArray::fromHex(t.columns[1].view(i).toLatin1());
        if (w.size() != 2)
            return Status::failure(
                QStringLiteral("the server's weight of U+%1 is not two bytes").arg(i, 4, 16));
        table.set(static_cast<char16_t>(t.columns[0].at(i).toUInt()),
                  static_cast<std::uint16_t>((static_cast<unsigned char>(w[0]) << 8) |
                                             static_cast<unsigned char>(w[1])));
    }
    // The weights of whole texts, as the server computes them for LIKE, must be the characters'
    // weights one after another: the self-test text and some of the records' titles and bodies.
    auto sample =
        rows(QStringLiteral("SELECT t, HEX(WEIGHT_STRING(CONCAT(t, '.') COLLATE utf8mb4_general_ci)) FROM "
                            "(SELECT %1 AS t UNION ALL (SELECT `name` FROM %2.`SearchTxt_Data` WHERE `name` "
                            "IS NOT NULL LIMIT 50) UNION ALL (SELECT `data` FROM %2.`SearchTxt_Data` WHERE "
                            "`data` IS NOT NULL LIMIT 20)) s")
                 .arg(companion::textLiteral(
                          QStringLiteral("Aé É e ß s Ω ω Ж ж ａＡ 网 \U0001F600\uFFFD\r\n!%_\\' ")),
                      quoted(database_)));
    if (!sample)
        return sample.status();
    std::vector<std::uint16_t> w;
    for (qint64 i = 0; i < sample.value()->rowCount(); ++i) {
        table.weigh(sample.value()->columns[0].view(i), w);
        QByteArray mine;
        for (const std::uint16_t x : w)
            mine.append(static_cast<char>(x >> 8)).append(static_cast<char>(x & 0xFF));
        mine.append('\0').append('.');
        if (mine.toHex().toUpper() != sample.value()->columns[1].view(i).toLatin1())
            return Status::failure(
                QStringLiteral("the server weighs texts otherwise than character by character "
                               "(collation utf8mb4_general_ci); the index cannot be built on it"));
    }
    weights_ = table;
    return {};
}

// The build's writers: the record numbers and, per column and gram, the postings collected in
// blocks until a block is full or the build runs out of room.
class IndexBuild {
public:
    explicit IndexBuild(IndexAdmin& admin, const QString& recsTable, const QString& postTable)
        : recs(run(admin),
               QStringLiteral("INSERT INTO %1 (`recno`, `dataid`, `seq`, `name`) VALUES ").arg(recsTable)),
          post_(
              run(admin),
              QStringLiteral("INSERT INTO %1 (`col`, `gram`, `first`, `n`, `data`) VALUES ").arg(postTable)) {
    }

    static std::function<Status(const QString&, const SqlParams&)> run(IndexAdmin& admin) {
        return [&admin](const QString& sql, const SqlParams& params) { return admin.exec(sql, params); };
    }

    Status add(int col, Gram g, std::uint32_t recno) {
        const std::uint64_t key = slotKey(col, g);
        Slot& s = slots_[key];
        if (s.last == recno)
            return {};
        if (s.n == 0) {
            s.first = recno;
        } else {
            const qsizetype was = s.deltas.size();
            appendVarint(s.deltas, recno - s.last);
            held_ += s.deltas.size() - was;
        }
        s.last = recno;
        ++s.n;
        ++s.total;
        if (s.deltas.size() >= kBlockBytes - 16)
            return writeBlock(key, s);
        return {};
    }

    // After a chunk of records: out of room, the open blocks go out as they are (compaction merges
    // them later); then what is pending is sent.
    Status endChunk() {
        if (held_ > kBuildMemory) {
            for (auto& [key, s] : slots_)
                if (s.n > 0)
                    if (Status st = writeBlock(key, s); !st)
                        return st;
        }
        if (Status s = recs.flush(); !s)
            return s;
        return post_.flush();
    }

    // Writes every open block and each gram's total; the number of distinct grams.
    Result<qint64> finish(RowWriter& grams) {
        for (auto& [key, s] : slots_) {
            if (s.n > 0)
                if (Status st = writeBlock(key, s); !st)
                    return st;
            if (Status st = grams.add(QStringLiteral("(%1,%2,%3,0,'')")
                                          .arg(slotColumn(key))
                                          .arg(gramLiteral(slotGram(key)))
                                          .arg(s.total));
                !st)
                return st;
        }
        if (Status s = post_.flush(); !s)
            return s;
        if (Status s = grams.flush(); !s)
            return s;
        const qint64 distinct = static_cast<qint64>(slots_.size());
        slots_.clear();
        return distinct;
    }

    RowWriter recs;

private:
    Status writeBlock(std::uint64_t key, Slot& s) {
        const QByteArray data = segmentOf(s);
        held_ -= s.deltas.size();
        s.deltas.resize(0);
        const std::uint32_t first = s.first;
        const std::uint32_t n = s.n;
        s.n = 0;
        return post_.add(QStringLiteral("(%1,%2,%3,%4,%5)")
                             .arg(slotColumn(key))
                             .arg(gramLiteral(slotGram(key)))
                             .arg(first)
                             .arg(n)
                             .arg(hex(data)));
    }

    RowWriter post_;
    std::unordered_map<std::uint64_t, Slot> slots_;
    qsizetype held_ = 0;
};

// Tells searches the index is being built and marks it as this program makes it.
Status IndexAdmin::startBuild() {
    if (Status s = loadWeights(); !s)
        return s;
    if (Status s = takeLease(true); !s)
        return s;
    Result<std::optional<Meta>> before = meta();
    if (!before || !before.value())
        return before ? Status::failure(QStringLiteral("the index's meta row is missing")) : before.status();
    if (before.value()->state == companion::kStateReady) {
        if (Status s = setState(companion::kStateBuilding); !s)
            return s;
        grace();
    }
    // The index is made as this program makes it, whatever meta said before.
    return exec(
        QStringLiteral("UPDATE %1 SET `format` = %2, `gram_rule` = %3, `collation_name` = %4, `state` = "
                       "%5 WHERE `id` = 1")
            .arg(table(QStringLiteral("meta")))
            .arg(kFormat)
            .arg(companion::textLiteral(kGramRule), companion::textLiteral(kCollation),
                 companion::textLiteral(companion::kStateBuilding)));
}

Status IndexAdmin::build() {
    if (Status s = startBuild(); !s)
        return s;
    QElapsedTimer timer;
    timer.start();
    // Every id queued so far is covered by the reading below, which begins after these were
    // committed; ids queued from now on are fed after the build.
    auto queued = rows(QStringLiteral("SELECT `qid` FROM %1").arg(table(QStringLiteral("queue"))));
    if (!queued)
        return queued.status();
    // Made afresh, so that they have this program's layout whatever an older one left.
    for (const char* name : {"recs", "post", "grams"})
        if (Status s = exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(table(QString::fromLatin1(name))));
            !s)
            return s;
    if (Status s = createCompanion(); !s)
        return s;

    IndexBuild index(*this, table(QStringLiteral("recs")), table(QStringLiteral("post")));
    const Result<std::uint32_t> recno = readRecords(index, timer);
    if (!recno)
        return recno.status();
    RowWriter grams(IndexBuild::run(*this),
                    QStringLiteral("INSERT INTO %1 (`col`, `gram`, `total`, `tail_n`, `tail`) VALUES ")
                        .arg(table(QStringLiteral("grams"))));
    const Result<qint64> distinct = index.finish(grams);
    if (!distinct)
        return distinct.status();
    return finishBuild(recno.value(), distinct.value(), queued.value()->columns[0], timer);
}

// Reads every record in chunks into `index`; the last record number given.
Result<std::uint32_t> IndexAdmin::readRecords(IndexBuild& index, const QElapsedTimer& timer) {
    std::uint32_t recno = 0;
    QString cursor;
    bool first = true;
    std::vector<std::uint16_t> w;
    for (;;) {
        auto chunk =
            first ? rows(QStringLiteral("SELECT `dataid`, `name`, `data` FROM %1.`SearchTxt_Data` ORDER BY "
                                        "`dataid` LIMIT %2")
                             .arg(quoted(database_))
                             .arg(kReadChunk))
                  : rows(QStringLiteral("SELECT `dataid`, `name`, `data` FROM %1.`SearchTxt_Data` WHERE "
                                        "`dataid` > ? ORDER BY `dataid` LIMIT %2")
                             .arg(quoted(database_))
                             .arg(kReadChunk),
                         {cursor});
        first = false;
        if (!chunk)
            return chunk.status();
        const ResultTable& t = *chunk.value();
        for (qint64 i = 0; i < t.rowCount(); ++i) {
            ++recno;
            for (const int col : {kNameColumn, kDataColumn}) {
                const TextColumn& text = t.columns[col == kNameColumn ? 1 : 2];
                if (text.isNull(i))
                    continue;
                weights_->weigh(text.view(i), w);
                Status s;
                forEachGram(w.data(), w.size(), [&](Gram g) {
                    if (s)
                        s = index.add(col, g, recno);
                });
                if (!s)
                    return s;
            }
            if (Status s = index.recs.add(QStringLiteral("(%1,?,0,?)").arg(recno),
                                          {t.columns[0].at(i), nameOf(t, i)});
                !s)
                return s;
        }
        if (t.rowCount() > 0)
            cursor = t.columns[0].at(t.rowCount() - 1);
        if (Status s = index.endChunk(); !s)
            return s;
        if (recno % 100000 < static_cast<std::uint32_t>(t.rowCount()) && recno >= 100000) {
            say_(QStringLiteral("build: %1 records (%2 s)")
                     .arg(recno)
                     .arg(timer.elapsed() / 1000.0, 0, 'f', 1));
            if (Status s = takeLease(false); !s)
                return s;
        }
        if (t.rowCount() < kReadChunk)
            return recno;
    }
}

// Records the build in meta, drops the queued ids it covered, feeds what changed meanwhile and
// opens the index to searches.
Status IndexAdmin::finishBuild(std::uint32_t recno, qint64 distinct, const TextColumn& qids,
                               const QElapsedTimer& timer) {
    if (Status s =
            exec(QStringLiteral("UPDATE %1 SET `next_recno` = %2, `records` = %3, `dead` = 0, `feed_seq` = "
                                "`feed_seq` + 1, `built_at` = NOW(6) WHERE `id` = 1")
                     .arg(table(QStringLiteral("meta")))
                     .arg(recno + 1)
                     .arg(recno));
        !s)
        return s;
    for (qint64 i = 0; i < qids.size() - 1; i += kIdsPerStatement) {
        QStringList ids;
        for (qint64 j = i; j < std::min<qint64>(qids.size() - 1, i + kIdsPerStatement); ++j)
            ids << qids.at(j);
        if (Status s = exec(QStringLiteral("DELETE FROM %1 WHERE `qid` IN (%2)")
                                .arg(table(QStringLiteral("queue")), ids.join(u',')));
            !s)
            return s;
    }
    say_(QStringLiteral("build: %1 records, %2 grams in %3 s; feeding what changed meanwhile")
             .arg(recno)
             .arg(distinct)
             .arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    for (;;) {
        Result<qint64> n = feedBatch(300, true);
        if (!n)
            return n.status();
        if (n.value() == 0)
            break;
    }
    if (Status s = setState(companion::kStateReady); !s)
        return s;
    releaseLease();
    say_(QStringLiteral("index: ready after %1 s").arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    return {};
}

Result<qint64> IndexAdmin::feedBatch(int limit, bool building) {
    if (!weights_)
        if (Status s = loadWeights(); !s)
            return s.error();
    qint64 fed = 0;
    const Status done = transaction([&]() -> Status { return feedQueued(limit, building, fed); });
    if (!done)
        return done.error();
    return fed;
}

// The next record number and feed sequence, with meta locked for this transaction; fails unless this
// feeder holds the lease and the index takes feeding.
Result<IndexAdmin::FeedPoint> IndexAdmin::lockFeedPoint(bool building) {
    auto m =
        rows(QStringLiteral("SELECT `next_recno`, `state`, `lease_owner` = ? AND `lease_until` > NOW(6), "
                            "`feed_seq` + 1 FROM %1 "
                            "WHERE `id` = 1 FOR UPDATE")
                 .arg(table(QStringLiteral("meta"))),
             {owner_});
    if (!m)
        return m.status();
    if (m.value()->rowCount() != 1 || m.value()->columns[2].at(0) != u"1")
        return Status::failure(
            QStringLiteral("the feeder's lease was lost (another feeder or a rebuild took it)"));
    const QString state = m.value()->columns[1].at(0);
    if (state != companion::kStateReady && !(building && state == companion::kStateBuilding))
        return Status::failure(QStringLiteral("the index is %1: nothing is fed").arg(state));
    return FeedPoint{m.value()->columns[0].at(0).toUInt(), m.value()->columns[3].at(0)};
}

Status IndexAdmin::feedQueued(int limit, bool building, qint64& fed) {
    fed = 0;
    const Result<FeedPoint> point = lockFeedPoint(building);
    if (!point)
        return point.status();
    std::uint32_t next = point.value().next;
    // A plain read, which locks nothing: writers keep adding to the queue meanwhile.
    auto q = rows(QStringLiteral("SELECT `qid`, `dataid` FROM %1 ORDER BY `qid` LIMIT %2")
                      .arg(table(QStringLiteral("queue")))
                      .arg(limit));
    if (!q)
        return q.status();
    const ResultTable& queue = *q.value();
    if (queue.rowCount() == 0)
        return {};
    QStringList qids;
    QStringList marks;
    SqlParams ids;
    for (qint64 i = 0; i < queue.rowCount(); ++i) {
        qids << queue.columns[0].at(i);
        if (!ids.contains(queue.columns[1].at(i))) {
            ids << queue.columns[1].at(i);
            marks << QStringLiteral("?");
        }
    }
    const QString in = marks.join(u',');
    auto current =
        rows(QStringLiteral("SELECT `dataid`, `name`, `data` FROM %1.`SearchTxt_Data` WHERE `dataid` IN "
                            "(%2) ORDER BY `dataid`")
                 .arg(quoted(database_), in),
             ids);
    if (!current)
        return current.status();
    const Result<qint64> dead = dropRecords(in, ids);
    if (!dead)
        return dead.status();
    const std::uint32_t firstNew = next;
    if (Status s = writeRecords(*current.value(), next, point.value().seq); !s)
        return s;
    if (Status s = exec(QStringLiteral("DELETE FROM %1 WHERE `qid` IN (%2)")
                            .arg(table(QStringLiteral("queue")), qids.join(u',')));
        !s)
        return s;
    if (Status s = exec(
            QStringLiteral("UPDATE %1 SET `next_recno` = %2, `feed_seq` = `feed_seq` + 1, `records` = "
                           "`records` + %3 - %4, `dead` = `dead` + %4, `lease_until` = NOW(6) + INTERVAL 60 "
                           "SECOND WHERE `id` = 1")
                .arg(table(QStringLiteral("meta")))
                .arg(next)
                .arg(next - firstNew)
                .arg(dead.value()));
        !s)
        return s;
    fed = queue.rowCount();
    return {};
}

// Drops the index's records of the data ids `ids` (their marks `in`); how many there were. Their
// postings stay until a compaction, dead.
Result<qint64> IndexAdmin::dropRecords(const QString& in, const SqlParams& ids) {
    auto old = rows(QStringLiteral("SELECT `recno` FROM %1 WHERE `dataid` IN (%2)")
                        .arg(table(QStringLiteral("recs")), in),
                    ids);
    if (!old)
        return old.status();
    const qint64 dead = old.value()->rowCount();
    if (dead > 0) {
        QStringList recnos = old.value()->columns[0].toStringList();
        recnos.removeLast();
        if (Status s = exec(QStringLiteral("DELETE FROM %1 WHERE `recno` IN (%2)")
                                .arg(table(QStringLiteral("recs")), recnos.join(u',')));
            !s)
            return s;
    }
    return dead;
}

// Gives the fed records `t` their numbers from `next` on, and appends their postings to the grams'
// tails (sealing the tails grown past a block).
Status IndexAdmin::writeRecords(const ResultTable& t, std::uint32_t& next, const QString& seq) {
    const auto run = [this](const QString& sql, const SqlParams& params) { return exec(sql, params); };
    RowWriter recs(run, QStringLiteral("INSERT INTO %1 (`recno`, `dataid`, `seq`, `name`) VALUES ")
                            .arg(table(QStringLiteral("recs"))));
    // (column, gram) -> the batch's record numbers, ascending.
    std::map<std::pair<int, Gram>, std::vector<std::uint32_t>> postings;
    std::vector<std::uint16_t> w;
    for (qint64 i = 0; i < t.rowCount(); ++i) {
        const std::uint32_t recno = next++;
        for (const int col : {kNameColumn, kDataColumn}) {
            const TextColumn& text = t.columns[col == kNameColumn ? 1 : 2];
            if (text.isNull(i))
                continue;
            weights_->weigh(text.view(i), w);
            forEachGram(w.data(), w.size(), [&](Gram g) {
                std::vector<std::uint32_t>& v = postings[{col, g}];
                if (v.empty() || v.back() != recno)
                    v.push_back(recno);
            });
        }
        if (Status s = recs.add(QStringLiteral("(%1,?,%2,?)").arg(recno).arg(seq),
                                {t.columns[0].at(i), nameOf(t, i)});
            !s)
            return s;
    }
    if (Status s = recs.flush(); !s)
        return s;
    RowWriter grams(run,
                    QStringLiteral("INSERT INTO %1 (`col`, `gram`, `total`, `tail_n`, `tail`) VALUES ")
                        .arg(table(QStringLiteral("grams"))),
                    QStringLiteral(" ON DUPLICATE KEY UPDATE `total` = `total` + VALUES(`total`), `tail_n` = "
                                   "`tail_n` + VALUES(`tail_n`), `tail` = CONCAT(`tail`, VALUES(`tail`))"));
    std::vector<std::pair<int, Gram>> touched;
    for (const auto& [key, recnos] : postings) {
        QByteArray segment;
        appendSegment(segment, recnos.data(), recnos.size());
        if (Status s = grams.add(QStringLiteral("(%1,%2,%3,%3,%4)")
                                     .arg(key.first)
                                     .arg(gramLiteral(key.second))
                                     .arg(recnos.size())
                                     .arg(hex(segment)));
            !s)
            return s;
        touched.push_back(key);
    }
    if (Status s = grams.flush(); !s)
        return s;
    if (Status s = sealTails(touched); !s)
        return s;
    return {};
}

Status IndexAdmin::sealTails(const std::vector<std::pair<int, Gram>>& touched) {
    // Tails grown past a block are written out as sealed blocks, and start again empty.
    for (std::size_t i = 0; i < touched.size(); i += kIdsPerStatement) {
        QStringList by[2];
        for (std::size_t j = i; j < std::min(touched.size(), i + kIdsPerStatement); ++j)
            by[touched[j].first] << gramLiteral(touched[j].second);
        QStringList where;
        for (int col : {0, 1})
            if (!by[col].isEmpty())
                where << QStringLiteral("(`col` = %1 AND `gram` IN (%2))").arg(col).arg(by[col].join(u','));
        auto full =
            rows(QStringLiteral(
                     "SELECT `col`, HEX(`gram`), HEX(`tail`) FROM %1 WHERE (%2) AND LENGTH(`tail`) >= %3")
                     .arg(table(QStringLiteral("grams")), where.join(QStringLiteral(" OR ")))
                     .arg(kBlockBytes));
        if (!full)
            return full.status();
        const ResultTable& t = *full.value();
        if (t.rowCount() == 0)
            continue;
        const auto run = [this](const QString& sql, const SqlParams& params) { return exec(sql, params); };
        RowWriter post(run, QStringLiteral("INSERT INTO %1 (`col`, `gram`, `first`, `n`, `data`) VALUES ")
                                .arg(table(QStringLiteral("post"))));
        RowWriter emptied(run,
                          QStringLiteral("INSERT INTO %1 (`col`, `gram`, `total`, `tail_n`, `tail`) VALUES ")
                              .arg(table(QStringLiteral("grams"))),
                          QStringLiteral(" ON DUPLICATE KEY UPDATE `tail_n` = 0, `tail` = ''"));
        for (qint64 r = 0; r < t.rowCount(); ++r) {
            const QString col = t.columns[0].at(r);
            const QString gram = QStringLiteral("X'") + t.columns[1].at(r) + u'\'';
            const QByteArray tail = QByteArray::fromHex(t.columns[2].view(r).toLatin1());
            std::vector<std::uint32_t> recnos;
            if (!decodeBlock(tail.constData(), static_cast<std::size_t>(tail.size()), recnos))
                return Status::failure(QStringLiteral("a posting tail is malformed: rebuild the index"));
            for (const Block& b : blocksOf(recnos))
                if (Status s = post.add(QStringLiteral("(%1,%2,%3,%4,%5)")
                                            .arg(col, gram)
                                            .arg(b.first)
                                            .arg(b.n)
                                            .arg(hex(b.data)));
                    !s)
                    return s;
            if (Status s = emptied.add(QStringLiteral("(%1,%2,0,0,'')").arg(col, gram)); !s)
                return s;
        }
        if (Status s = post.flush(); !s)
            return s;
        if (Status s = emptied.flush(); !s)
            return s;
    }
    return {};
}

bool IndexAdmin::compactionDue(const Meta& m) const {
    return m.dead >= 1000 && m.dead * 5 >= m.records;
}

Status IndexAdmin::startCompaction() {
    auto m = rows(QStringLiteral("SELECT `next_recno`, `dead` FROM %1 WHERE `id` = 1")
                      .arg(table(QStringLiteral("meta"))));
    if (!m)
        return m.status();
    auto live = rows(QStringLiteral("SELECT `recno` FROM %1").arg(table(QStringLiteral("recs"))));
    if (!live)
        return live.status();
    Compaction c;
    // Numbers given out after this read are live whatever the set says.
    c.bound = m.value()->columns[0].value(0).toUInt();
    c.deadAtStart = m.value()->columns[1].value(0).toLongLong();
    c.live.assign(c.bound, false);
    const TextColumn& recnos = live.value()->columns[0];
    for (qint64 i = 0; i + 1 < recnos.size(); ++i) {
        const std::uint32_t r = recnos.at(i).toUInt();
        if (r < c.bound)
            c.live[r] = true;
    }
    compaction_ = std::move(c);
    return {};
}

// Renews this feeder's lease, which also locks the meta row: a feeder elsewhere appends to the tails
// a compaction step reads.
Status IndexAdmin::renewLease() {
    quint64 mine = 0;
    if (Status s = exec(
            QStringLiteral("UPDATE %1 SET `lease_until` = NOW(6) + INTERVAL 60 SECOND WHERE `id` = 1 AND "
                           "`lease_owner` = ?")
                .arg(table(QStringLiteral("meta"))),
            {owner_}, &mine);
        !s)
        return s;
    if (mine != 1)
        return Status::failure(
            QStringLiteral("the feeder's lease was lost (another feeder or a rebuild took it)"));
    return {};
}

Result<bool> IndexAdmin::compactStep() {
    Compaction& c = *compaction_;
    bool more = true;
    const Status done = transaction([&]() -> Status {
        if (Status s = renewLease(); !s)
            return s;
        auto g = rows(
            QStringLiteral(
                "SELECT HEX(`gram`), `total`, `tail_n`, HEX(`tail`) FROM %1 WHERE `col` = %2 AND `gram` > "
                "%3 ORDER BY `gram` LIMIT 2000")
                .arg(table(QStringLiteral("grams")))
                .arg(c.col)
                .arg(hex(c.after)));
        if (!g)
            return g.status();
        const ResultTable& grams = *g.value();
        if (grams.rowCount() == 0) {
            c.col += 1;
            c.after.clear();
            more = c.col <= kDataColumn;
            return {};
        }
        // As many grams as hold about kCompactPostings record numbers, at least one.
        qint64 take = 0;
        qint64 postings = 0;
        while (take < grams.rowCount() &&
               (take == 0 || postings + grams.columns[1].at(take).toLongLong() <= kCompactPostings))
            postings += grams.columns[1].at(take++).toLongLong();
        const QString from = QStringLiteral("X'") + grams.columns[0].at(0) + u'\'';
        const QString to = QStringLiteral("X'") + grams.columns[0].at(take - 1) + u'\'';
        auto p =
            rows(QStringLiteral(
                     "SELECT HEX(`gram`), HEX(`data`) FROM %1 WHERE `col` = %2 AND `gram` BETWEEN %3 AND %4 "
                     "ORDER BY `gram`, `first`")
                     .arg(table(QStringLiteral("post")))
                     .arg(c.col)
                     .arg(from, to));
        if (!p)
            return p.status();
        const ResultTable& post = *p.value();
        const Result<Rewrite> r = mergePostings(grams, take, post);
        if (!r)
            return r.status();
        if (Status s = writeRewrite(r.value()); !s)
            return s;
        c.rewritten += r.value().rewritten.size() + r.value().emptied.size();
        c.after = QByteArray::fromHex(grams.columns[0].at(take - 1).toLatin1());
        return {};
    });
    if (!done)
        return done.error();
    if (!more)
        if (Status s = endCompaction(); !s)
            return s.error();
    return more;
}

// Decodes the first `take` grams' blocks and tails (`post` holds their blocks in order), drops the
// dead record numbers and merges small blocks; grams with nothing to change are left out.
Result<IndexAdmin::Rewrite> IndexAdmin::mergePostings(const ResultTable& grams, qint64 take,
                                                      const ResultTable& post) {
    const Compaction& c = *compaction_;
    Rewrite r;
    qint64 row = 0;
    for (qint64 i = 0; i < take; ++i) {
        const QString gramHex = grams.columns[0].at(i);
        std::vector<std::uint32_t> recnos;
        qint64 stored = 0;
        for (; row < post.rowCount() && post.columns[0].view(row) == gramHex; ++row, ++stored) {
            const QByteArray b = QByteArray::fromHex(post.columns[1].view(row).toLatin1());
            if (!decodeBlock(b.constData(), static_cast<std::size_t>(b.size()), recnos))
                return Status::failure(QStringLiteral("a posting block is malformed: rebuild the index"));
        }
        const QByteArray tail = QByteArray::fromHex(grams.columns[3].view(i).toLatin1());
        if (!decodeBlock(tail.constData(), static_cast<std::size_t>(tail.size()), recnos))
            return Status::failure(QStringLiteral("a posting tail is malformed: rebuild the index"));
        if (!tail.isEmpty())
            ++stored;
        const std::size_t before = recnos.size();
        std::erase_if(recnos, [&](std::uint32_t n) { return n < c.bound && !c.live[n]; });
        std::vector<Block> merged = blocksOf(recnos);
        if (recnos.size() == before && static_cast<qint64>(merged.size()) >= stored)
            continue; // nothing dead, nothing to merge
        const QString gram = QStringLiteral("X'") + gramHex + u'\'';
        (recnos.empty() ? r.emptied : r.rewritten) << gram;
        for (const Block& b : merged)
            r.blockRows << QStringLiteral("(%1,%2,%3,%4,%5)")
                               .arg(c.col)
                               .arg(gram)
                               .arg(b.first)
                               .arg(b.n)
                               .arg(hex(b.data));
        if (!recnos.empty())
            r.countRows << QStringLiteral("(%1,%2,%3,0,'')").arg(c.col).arg(gram).arg(recnos.size());
    }
    return r;
}

// Replaces the rewritten grams' blocks and counts, and removes the emptied grams.
Status IndexAdmin::writeRewrite(const Rewrite& r) {
    const int col = compaction_->col;
    const QStringList changed = r.rewritten + r.emptied;
    if (!changed.isEmpty()) {
        if (Status s = exec(QStringLiteral("DELETE FROM %1 WHERE `col` = %2 AND `gram` IN (%3)")
                                .arg(table(QStringLiteral("post")))
                                .arg(col)
                                .arg(changed.join(u',')));
            !s)
            return s;
        if (!r.emptied.isEmpty())
            if (Status s = exec(QStringLiteral("DELETE FROM %1 WHERE `col` = %2 AND `gram` IN (%3)")
                                    .arg(table(QStringLiteral("grams")))
                                    .arg(col)
                                    .arg(r.emptied.join(u',')));
                !s)
                return s;
    }
    const auto run = [this](const QString& sql, const SqlParams& params) { return exec(sql, params); };
    RowWriter blocks(run, QStringLiteral("INSERT INTO %1 (`col`, `gram`, `first`, `n`, `data`) VALUES ")
                              .arg(table(QStringLiteral("post"))));
    RowWriter counts(
        run,
        QStringLiteral("INSERT INTO %1 (`col`, `gram`, `total`, `tail_n`, `tail`) VALUES ")
            .arg(table(QStringLiteral("grams"))),
        QStringLiteral(" ON DUPLICATE KEY UPDATE `total` = VALUES(`total`), `tail_n` = 0, `tail` = ''"));
    for (const QString& row : r.blockRows)
        if (Status s = blocks.add(row); !s)
            return s;
    for (const QString& row : r.countRows)
        if (Status s = counts.add(row); !s)
            return s;
    if (Status s = blocks.flush(); !s)
        return s;
    return counts.flush();
}

Status IndexAdmin::endCompaction() {
    const Compaction& c = *compaction_;
    const qint64 deadAtStart = c.deadAtStart;
    say_(QStringLiteral("compaction: %1 grams rewritten").arg(c.rewritten));
    compaction_.reset();
    if (Status s =
            exec(QStringLiteral("UPDATE %1 SET `dead` = IF(`dead` > %2, `dead` - %2, 0) WHERE `id` = 1")
                     .arg(table(QStringLiteral("meta")))
                     .arg(deadAtStart));
        !s)
        return s;
    return {};
}

Result<qint64> IndexAdmin::feed(int limit, bool compact, int batches) {
    Result<std::optional<Meta>> installed = meta();
    if (!installed)
        return installed.error();
    if (!installed.value())
        return Error{Error::kProviderError,
                     QStringLiteral("nothing is installed for %1: run install").arg(quoted(database_)), 0};
    if (Status s = takeLease(false); !s)
        return s.error();
    qint64 total = 0;
    for (int batch = 0; batches < 0 || batch < batches; ++batch) {
        Result<qint64> n = feedBatch(limit, false);
        if (!n) {
            releaseLease();
            return n;
        }
        total += n.value();
        if (n.value() == 0)
            break;
    }
    Result<std::optional<Meta>> m = meta();
    if (m && m.value() && (compact || compactionDue(*m.value()))) {
        if (Status s = startCompaction(); !s)
            return s.error();
        for (;;) {
            Result<bool> more = compactStep();
            if (!more) {
                releaseLease();
                return more.error();
            }
            if (!more.value())
                break;
        }
    }
    releaseLease();
    say_(QStringLiteral("feed: %1 queued ids indexed").arg(total));
    return total;
}

Status IndexAdmin::follow(const std::atomic<bool>& stop, const std::function<Status()>& reopen, int limit) {
    const auto pause = [&](int ms) {
        for (int waited = 0; waited < ms && !stop; waited += 50)
            QThread::msleep(50);
    };
    bool leased = false;
    bool said = false;
    int failures = 0;
    while (!stop) {
        if (conn_.State() != Connection::kStateOpen) {
            if (Status s = reopen(); !s) {
                say_(QStringLiteral("feed: cannot connect (%1); trying again").arg(s.description()));
                pause(5000);
                continue;
            }
        }
        if (!leased) {
            const Status s = takeLease(false);
            leased = s.ok();
            if (!leased) {
                if (!said)
                    say_(QStringLiteral("feed: waiting for the lease (%1)").arg(s.description()));
                said = true;
                pause(5000);
                continue;
            }
            said = false;
            say_(QStringLiteral("feed: holding the lease, following the queue"));
        }
        Result<qint64> n = feedBatch(limit, false);
        if (!n) {
            // Said once per run of failures, retried less and less often (an index removed or being
            // rebuilt, a server away).
            if (failures++ == 0)
                say_(QStringLiteral("feed: %1").arg(n.error().description));
            leased = false;
            compaction_.reset();
            pause(std::min(1000 * failures, 30000));
            continue;
        }
        failures = 0;
        if (n.value() > 0)
            continue;
        // Idle: one step of compaction if one is due, else a short rest.
        if (!compaction_) {
            Result<std::optional<Meta>> m = meta();
            if (m && m.value() && compactionDue(*m.value()))
                if (Status s = startCompaction(); !s)
                    say_(QStringLiteral("compaction: %1").arg(s.description()));
        }
        if (compaction_) {
            if (Result<bool> more = compactStep(); !more) {
                say_(QStringLiteral("compaction: %1").arg(more.error().description));
                compaction_.reset();
            }
            continue;
        }
        pause(200);
    }
    releaseLease();
    return {};
}
