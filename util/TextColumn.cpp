#include "util/TextColumn.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// Room for `needed` elements, doubling: realloc moves a large block by remapping its pages, not by
// copying them, and pages never written take no memory.
template <class T> void reserve(T*& p, qsizetype& capacity, qsizetype needed) {
    if (needed <= capacity)
        return;
    const qsizetype next = std::max({needed, capacity * 2, qsizetype(64)});
    void* grown = std::realloc(p, static_cast<std::size_t>(next) * sizeof(T));
    if (!grown)
        qBadAlloc();
    p = static_cast<T*>(grown);
    capacity = next;
}

template <class T> void cutToSize(T*& p, qsizetype& capacity, qsizetype size) {
    if (size == capacity)
        return;
    if (size == 0) {
        std::free(p);
        p = nullptr;
    } else if (void* cut = std::realloc(p, static_cast<std::size_t>(size) * sizeof(T))) {
        p = static_cast<T*>(cut);
    } else {
        return; // keeps the larger block, which still holds every row
    }
    capacity = size;
}

// Large text buffers let go of are kept (the three largest, at most 256 MB) for the next large
// columns to fill, as the C library keeps small blocks: fresh pages cost the kernel a fault each (some
// 70 ms for a 150 MB column), pages already held are written at once. They stand for the previous
// result, which a repeated search holds while the new one arrives anyway, so its peak stays that of
// two results.
class SpareBuffers {
public:
    // A column growing past 4 MB looks for a kept buffer; one of 8 MB or more is kept (the first
    // room of a growing column, freed when it moves into a kept one, would only take up memory).
    static constexpr qsizetype kTakeUnits = qsizetype(2) << 20;
    static constexpr qsizetype kKeepUnits = qsizetype(4) << 20;
    static constexpr std::size_t kKept = 3;                       // a result's large columns
    static constexpr qsizetype kKeptUnits = qsizetype(128) << 20; // 256 MB in all, kept while idle

    // Never destroyed: columns held in static storage are freed at exit after it would be.
    static SpareBuffers& instance() {
        static auto* spares = new SpareBuffers;
        return *spares;
    }
    // Keeps `p`, of `units` elements, in place of smaller ones if need be, or frees it.
    void give(char16_t* p, qsizetype units) {
        std::vector<char16_t*> freed{p};
        if (p && units >= kKeepUnits && units <= kKeptUnits) {
            const std::lock_guard lock(mutex_);
            freed.clear();
            kept_.emplace_back(p, units);
            keptUnits_ += units;
            std::sort(kept_.begin(), kept_.end(),
                      [](const Kept& a, const Kept& b) { return a.second > b.second; });
            while (kept_.size() > kKept || keptUnits_ > kKeptUnits) {
                freed.push_back(kept_.back().first);
                keptUnits_ -= kept_.back().second;
                kept_.pop_back();
            }
        }
        for (char16_t* f : freed)
            std::free(f);
    }
    // The smallest kept buffer that holds `units`, else null.
    char16_t* take(qsizetype units, qsizetype* capacity) {
        const std::lock_guard lock(mutex_);
        auto best = kept_.end();
        for (auto k = kept_.begin(); k != kept_.end(); ++k) {
            if (k->second >= units && (best == kept_.end() || k->second < best->second))
                best = k;
        }
        if (best == kept_.end())
            return nullptr;
        const auto [p, size] = *best;
        keptUnits_ -= size;
        kept_.erase(best);
        *capacity = size;
        return p;
    }

private:
    using Kept = std::pair<char16_t*, qsizetype>;
    std::mutex mutex_;
    std::vector<Kept> kept_; // largest first
    qsizetype keptUnits_ = 0;
};

} // namespace

struct TextColumn::Data {
    // The rows' texts one after another; row i ends where end(i) says and starts where row i - 1 ends.
    char16_t* text = nullptr;
    qsizetype textSize = 0;
    qsizetype textCapacity = 0;
    // Where each row ends, its low 32 bits: half the room of a full offset, for a million rows 4 MB
    // a column. A value is far shorter than 2^32 units (the server's packet limit is 1 GB), so the
    // high part is how many times the low part wrapped by then: the rows where it did are in `wraps`.
    quint32* ends = nullptr;
    std::vector<qsizetype> wraps;
    qsizetype rows = 0;
    qsizetype rowsCapacity = 0;
    std::vector<bool> nulls; // per row, once a row is NULL; empty while none is
    // The repeated form: every row but the last reads this text, and no buffer is held.
    bool repeated = false;
    QString repeatedText;

    Data() = default;
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
    ~Data() {
        SpareBuffers::instance().give(text, textCapacity);
        std::free(ends);
    }

    qsizetype end(qsizetype i) const {
        const qsizetype high =
            wraps.empty() ? 0 : std::upper_bound(wraps.begin(), wraps.end(), i) - wraps.begin();
        return (high << 32) | ends[i];
    }
    qsizetype start(qsizetype i) const { return i == 0 ? 0 : end(i - 1); }
    void reserveText(qsizetype units) {
        if (units <= textCapacity)
            return;
        qsizetype spareUnits = 0;
        char16_t* spare = std::max(units, textCapacity * 2) >= SpareBuffers::kTakeUnits
                              ? SpareBuffers::instance().take(units, &spareUnits)
                              : nullptr;
        if (!spare)
            return reserve(text, textCapacity, units);
        // Into a kept buffer's pages; this one's go back for another column.
        if (textSize > 0)
            std::memcpy(spare, text, static_cast<std::size_t>(textSize) * sizeof(char16_t));
        SpareBuffers::instance().give(text, textCapacity);
        text = spare;
        textCapacity = spareUnits;
    }
    void endRow(bool isNull) {
        while (static_cast<std::size_t>(textSize >> 32) > wraps.size())
            wraps.push_back(rows);
        reserve(ends, rowsCapacity, rows + 1);
        ends[rows++] = static_cast<quint32>(textSize);
        if (isNull || !nulls.empty()) {
            nulls.resize(static_cast<std::size_t>(rows - 1), false);
            nulls.push_back(isNull);
        }
    }
};

TextColumn::TextColumn(const QStringList& texts) {
    Builder b;
    for (const QString& t : texts)
        b.append(t);
    *this = b.finish();
}

TextColumn TextColumn::repeated(const QString& text, qsizetype rows) {
    auto d = std::make_shared<Data>();
    d->repeated = true;
    d->repeatedText = text;
    d->rows = rows + 1;
    return TextColumn(std::move(d));
}

qsizetype TextColumn::size() const {
    return d_ ? d_->rows : 0;
}

QStringView TextColumn::view(qsizetype i) const {
    Q_ASSERT(i >= 0 && i < size());
    if (d_->repeated)
        return i + 1 < d_->rows ? QStringView(d_->repeatedText) : QStringView();
    const qsizetype from = d_->start(i);
    return QStringView(d_->text + from, d_->end(i) - from);
}

QString TextColumn::at(qsizetype i) const {
    if (d_->repeated)
        return i + 1 < d_->rows ? d_->repeatedText : QString(); // shared, not copied
    return view(i).toString();
}

bool TextColumn::isNull(qsizetype i) const {
    Q_ASSERT(i >= 0 && i < size());
    return !d_->nulls.empty() && d_->nulls[static_cast<std::size_t>(i)];
}

QStringList TextColumn::toStringList() const {
    QStringList out;
    out.reserve(size());
    for (qsizetype i = 0; i < size(); ++i)
        out << at(i);
    return out;
}

TextColumn TextColumn::edited(qsizetype i, const std::optional<QString>& text) const {
    if (i < 0 || i >= size())
        return *this;
    if (d_->repeated && (!text || *text == d_->repeatedText) && i + 1 < d_->rows)
        return text ? *this : repeated(d_->repeatedText, d_->rows - 2);
    Builder b;
    for (qsizetype r = 0; r < size(); ++r) {
        if (r == i && text)
            b.append(*text);
        else if (r != i && isNull(r))
            b.appendNull();
        else if (r != i)
            b.append(view(r));
    }
    return b.finish();
}

// ---- Builder ------------------------------------------------------------------------------------

TextColumn::Builder::Builder()
    : d_(std::make_unique<Data>()), utf8_(QStringConverter::Utf8, QStringConverter::Flag::Stateless) {}
TextColumn::Builder::~Builder() = default;
TextColumn::Builder::Builder(Builder&&) noexcept = default;
TextColumn::Builder& TextColumn::Builder::operator=(Builder&&) noexcept = default;

qsizetype TextColumn::Builder::size() const {
    return d_->rows;
}

void TextColumn::Builder::appendUtf8(const char* bytes, qsizetype length) {
    Data& d = *d_;
    if (length > 0) {
        d.reserveText(d.textSize + utf8_.requiredSpace(length));
        QChar* out = reinterpret_cast<QChar*>(d.text + d.textSize);
        d.textSize += utf8_.appendToBuffer(out, QByteArrayView(bytes, length)) - out;
    }
    d.endRow(false);
}

void TextColumn::Builder::append(QStringView text) {
    Data& d = *d_;
    if (!text.isEmpty()) {
        d.reserveText(d.textSize + text.size());
        std::memcpy(d.text + d.textSize, text.utf16(),
                    static_cast<std::size_t>(text.size()) * sizeof(char16_t));
        d.textSize += text.size();
    }
    d.endRow(false);
}

void TextColumn::Builder::appendNull() {
    d_->endRow(true);
}

TextColumn TextColumn::Builder::finish() {
    Data& d = *d_;
    cutToSize(d.text, d.textCapacity, d.textSize);
    cutToSize(d.ends, d.rowsCapacity, d.rows);
    d.nulls.shrink_to_fit();
    TextColumn built(std::shared_ptr<const Data>(std::move(d_)));
    d_ = std::make_unique<Data>();
    return built;
}
