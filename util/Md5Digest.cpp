#include "util/Md5Digest.h"

#include "util/Gbk.h"
#include "util/Secret.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// Additive constants of RFC 1321 (floor(abs(sin(i + 1)) * 2^32)), in step order.
constexpr std::array<std::uint32_t, 64> kT = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Four rotation amounts per round. The two that differ from RFC 1321 (7 -> 8 in round 1,
// 9 -> 8 in round 2) are what make this digest the system's own.
constexpr std::array<std::array<int, 4>, 4> kRotations = {{
    {8, 12, 17, 22},
    {5, 8, 14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21},
}};

constexpr std::uint32_t rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

struct State {
    std::uint32_t a = 0x67452301;
    std::uint32_t b = 0xefcdab89;
    std::uint32_t c = 0x98badcfe;
    std::uint32_t d = 0x10325476;
};

void compress(State& s, const unsigned char* block) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        const unsigned char* p = block + 4 * i;
        x[i] = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    }

    std::uint32_t a = s.a, b = s.b, c = s.c, d = s.d;
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        std::uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
            break;
        }
        const std::uint32_t next = b + rotl(a + f + x[k] + kT[i], kRotations[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    s.a += a;
    s.b += b;
    s.c += c;
    s.d += d;
}

void appendHex(QString& out, std::uint32_t word) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 4; ++i) {
        const unsigned byte = (word >> (8 * i)) & 0xff;
        out += QLatin1Char(kDigits[byte >> 4]);
        out += QLatin1Char(kDigits[byte & 0xf]);
    }
}

} // namespace

Result<QString> md5DigestBytes(const QByteArray& bytes, int digestLength) {
    if (bytes.size() > kMd5DigestMaxBytes)
        return Status::failure(QStringLiteral("溢出：摘要输入超过 %1 字节").arg(kMd5DigestMaxBytes));

    State state;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype length = bytes.size();
    const qsizetype whole = length - length % 64;
    for (qsizetype offset = 0; offset < whole; offset += 64)
        compress(state, data + offset);

    // Tail, 0x80, zeros to 56 mod 64, then the bit length: one block, or two when the tail
    // leaves no room for the length (56 to 63 bytes).
    unsigned char tail[128] = {};
    const qsizetype rest = length - whole;
    std::memcpy(tail, data + whole, size_t(rest));
    tail[rest] = 0x80;
    const qsizetype tailSize = rest < 56 ? 64 : 128;
    const std::uint64_t bitLength = std::uint64_t(length) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailSize - 8 + i] = static_cast<unsigned char>(bitLength >> (8 * i));
    for (qsizetype offset = 0; offset < tailSize; offset += 64)
        compress(state, tail + offset);
    explicit_bzero(tail, sizeof tail); // the end of a password

    QString hex;
    if (digestLength == 32) {
        hex.reserve(32);
        appendHex(hex, state.a);
        appendHex(hex, state.b);
        appendHex(hex, state.c);
        appendHex(hex, state.d);
    } else {
        hex.reserve(16);
        appendHex(hex, state.b);
        appendHex(hex, state.c);
    }
    return hex;
}

Result<QString> md5Digest(const QString& text, int digestLength) {
    // Without a GBK converter only ASCII has a known byte form; any other guess would give a
    // digest that matches nothing stored.
    Result<QByteArray> bytes = tryToGbk(text);
    if (!bytes)
        return bytes.error();
    Result<QString> digest = md5DigestBytes(bytes.value(), digestLength);
    wipe(bytes.value()); // the text is often a password
    return digest;
}
