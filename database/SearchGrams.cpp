#include "database/SearchGrams.h"

#include <algorithm>

namespace searchindex {

QByteArray gramBytes(Gram g) {
    const int n = gramLength(g);
    QByteArray out(2 * n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i) {
        const auto w = static_cast<std::uint16_t>(g >> (16 * (n - 1 - i)));
        out[2 * i] = static_cast<char>(w >> 8);
        out[2 * i + 1] = static_cast<char>(w & 0xFF);
    }
    return out;
}

QString gramLiteral(Gram g) {
    return QStringLiteral("X'") + QString::fromLatin1(gramBytes(g).toHex()) + u'\'';
}

Gram gramFromBytes(const QByteArray& bytes) {
    const auto at = [&](int i) {
        return static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[2 * i]) << 8) |
                                          static_cast<unsigned char>(bytes[2 * i + 1]));
    };
    switch (bytes.size()) {
    case 2:
        return gram1(at(0));
    case 4:
        return gram2(at(0), at(1));
    case 6:
        return gram3(at(0), at(1), at(2));
    default:
        return 0;
    }
}

void WeightTable::weigh(QStringView text, std::vector<std::uint16_t>& out) const {
    out.clear();
    out.reserve(static_cast<std::size_t>(text.size()));
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(text[i + 1].unicode())) {
            out.push_back(kReplacementWeight);
            ++i;
        } else {
            out.push_back(bmp_[c]);
        }
    }
}

QString weightTableStatement() {
    // 256 x 256 rows from a recursion of 256 steps (servers stop recursions at 1,000 by default);
    // the surrogates are no characters of utf8mb4.
    return QStringLiteral(
        "WITH RECURSIVE b(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM b WHERE n < 255) "
        "SELECT hi.n * 256 + lo.n, HEX(WEIGHT_STRING(CONVERT(CHAR(hi.n * 256 + lo.n USING ucs2) USING "
        "utf8mb4) COLLATE utf8mb4_general_ci)) FROM b hi, b lo "
        "WHERE hi.n * 256 + lo.n NOT BETWEEN 55296 AND 57343");
}

void appendVarint(QByteArray& out, std::uint32_t v) {
    while (v >= 0x80) {
        out.append(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.append(static_cast<char>(v));
}

void appendSegment(QByteArray& out, const std::uint32_t* recnos, std::size_t n) {
    if (n == 0)
        return;
    appendVarint(out, static_cast<std::uint32_t>(n));
    appendVarint(out, recnos[0]);
    for (std::size_t i = 1; i < n; ++i)
        appendVarint(out, recnos[i] - recnos[i - 1]);
}

namespace {
bool readVarint(const unsigned char*& p, const unsigned char* end, std::uint32_t& v) {
    v = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        if (p == end)
            return false;
        const unsigned char b = *p++;
        v |= static_cast<std::uint32_t>(b & 0x7F) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}
} // namespace

bool decodeBlock(const char* block, std::size_t size, std::vector<std::uint32_t>& out) {
    auto p = reinterpret_cast<const unsigned char*>(block);
    const unsigned char* end = p + size;
    while (p != end) {
        std::uint32_t count = 0;
        std::uint32_t v = 0;
        if (!readVarint(p, end, count) || count == 0 || count > size || !readVarint(p, end, v))
            return false;
        out.push_back(v);
        for (std::uint32_t i = 1; i < count; ++i) {
            std::uint32_t d = 0;
            if (!readVarint(p, end, d) || d == 0)
                return false;
            v += d;
            out.push_back(v);
        }
    }
    return true;
}

std::vector<std::uint32_t> intersect(const std::vector<std::uint32_t>& a,
                                     const std::vector<std::uint32_t>& b) {
    std::vector<std::uint32_t> out;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

void sortUnique(std::vector<std::uint32_t>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

} // namespace searchindex
