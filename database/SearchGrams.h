#pragma once
// What the search index is made of, without any server: the collation's weights of a text, the grams
// taken from them, and the posting blocks that list, per gram, the record numbers holding it.
//
// A LIKE under utf8mb4_general_ci compares one character against one by its weight (two bytes; every
// character above U+FFFF weighs as U+FFFD). So a record that matches like '%key%' holds, in the
// weights of its column, every gram of the key's weights: the records listed under the key's grams
// include every match, and the LIKE run over them alone gives exactly the rows of the full scan.
//
// The grams of a text: every pair of neighbouring weights, every three neighbours that all weigh
// below U+2E80 (Latin, Greek, Cyrillic and the like, where pairs are too common to narrow much), and
// the last weight alone, so that a key of one character finds the records it ends (every other
// occurrence of a character starts a pair).
#include <QByteArray>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <vector>

namespace searchindex {

// Bumped whenever what is stored changes meaning; an index of another format is not used.
constexpr int kFormat = 1;
inline const QString kGramRule = QStringLiteral("w2+w3<2E80+last");
inline const QString kCollation = QStringLiteral("utf8mb4_general_ci");
// Weights from here up are CJK and the like, where a pair is already rare: no triples of them.
constexpr std::uint16_t kTripleBelow = 0x2E80;
constexpr std::uint16_t kReplacementWeight = 0xFFFD;
// A posting block is sealed once its record numbers take this many bytes.
constexpr int kBlockBytes = 4096;

// The two indexed columns, as the index numbers them.
enum Column : int { kNameColumn = 0, kDataColumn = 1 };

// A gram: one to three weights, kept as (length << 48) | weights, the first weight highest. Stored
// as the weights' bytes, big-endian (2, 4 or 6 bytes).
using Gram = std::uint64_t;
constexpr Gram gram1(std::uint16_t a) {
    return (Gram{1} << 48) | a;
}
constexpr Gram gram2(std::uint16_t a, std::uint16_t b) {
    return (Gram{2} << 48) | (Gram{a} << 16) | b;
}
constexpr Gram gram3(std::uint16_t a, std::uint16_t b, std::uint16_t c) {
    return (Gram{3} << 48) | (Gram{a} << 32) | (Gram{b} << 16) | c;
}
constexpr int gramLength(Gram g) {
    return static_cast<int>(g >> 48);
}
constexpr std::uint16_t gramFirst(Gram g) {
    return static_cast<std::uint16_t>(g >> (16 * (gramLength(g) - 1)));
}
QByteArray gramBytes(Gram g);
// The gram as an SQL binary literal, X'...' (hex digits only: safe in a statement's text).
QString gramLiteral(Gram g);
// From the stored bytes (2, 4 or 6 of them); 0 for anything else.
Gram gramFromBytes(const QByteArray& bytes);

// Calls `f(gram)` for every gram of `weights`, in order; a gram may come more than once.
template <class F> void forEachGram(const std::uint16_t* w, std::size_t n, F&& f) {
    if (n == 0)
        return;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        f(gram2(w[i], w[i + 1]));
        if (i + 2 < n && w[i] < kTripleBelow && w[i + 1] < kTripleBelow && w[i + 2] < kTripleBelow)
            f(gram3(w[i], w[i + 1], w[i + 2]));
    }
    f(gram1(w[n - 1]));
}

// The collation's weight of every character of the Basic Multilingual Plane, as the server gave
// them; above it every character weighs as U+FFFD.
class WeightTable {
public:
    WeightTable() { bmp_.fill(kReplacementWeight); }
    void set(char16_t codePoint, std::uint16_t weight) { bmp_[codePoint] = weight; }
    std::uint16_t of(char32_t codePoint) const {
        return codePoint < 0x10000 ? bmp_[codePoint] : kReplacementWeight;
    }
    // The weights of `text`, one per character (a surrogate pair is one character).
    void weigh(QStringView text, std::vector<std::uint16_t>& out) const;

private:
    std::array<std::uint16_t, 0x10000> bmp_;
};

// The statement that reads every BMP character's weight from the server: rows of (code point, hex).
QString weightTableStatement();

// Posting blocks: a sequence of segments, each its count, its first record number, then the
// differences to the one before, all as unsigned LEB128 varints. A block written whole has one
// segment; an open block (a gram's tail) grows by one segment per feeding transaction, appended
// on the server without reading it.
void appendSegment(QByteArray& out, const std::uint32_t* recnos, std::size_t n);
// Appends the record numbers `block` holds to `out`; false when it is malformed.
bool decodeBlock(const char* block, std::size_t size, std::vector<std::uint32_t>& out);
void appendVarint(QByteArray& out, std::uint32_t v);

// Sorted, distinct record numbers: the intersection of two such lists.
std::vector<std::uint32_t> intersect(const std::vector<std::uint32_t>& a,
                                     const std::vector<std::uint32_t>& b);
void sortUnique(std::vector<std::uint32_t>& v);

} // namespace searchindex
