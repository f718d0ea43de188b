// The digest against a second, byte-at-a-time implementation of the same variant (RFC 1321 with the
// rotations 8 in round 1 and 8 in round 2 changed), which meets padding and block edges differently.
#include "util/Gbk.h"
#include "util/Md5Digest.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

class Streaming {
public:
    void feed(uint8_t byte) {
        buffer_[count_ % 64] = byte;
        ++count_;
        if (count_ % 64 == 0)
            block();
    }
    QString finish(int length) {
        const uint64_t bits = count_ * 8;
        feed(0x80);
        while (count_ % 64 != 56)
            feed(0);
        for (int i = 0; i < 8; ++i)
            feed(static_cast<uint8_t>(bits >> (8 * i)));
        QString out;
        const uint32_t words[] = {s_[0], s_[1], s_[2], s_[3]};
        for (int w = length == 32 ? 0 : 1; w < (length == 32 ? 4 : 3); ++w)
            for (int b = 0; b < 4; ++b)
                out +=
                    QStringLiteral("%1").arg((words[w] >> (8 * b)) & 0xff, 2, 16, QLatin1Char('0')).toUpper();
        return out;
    }

private:
    static uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
    void block() {
        static const int r[4][4] = {{8, 12, 17, 22}, {5, 8, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = uint32_t(buffer_[4 * i]) | uint32_t(buffer_[4 * i + 1]) << 8 |
                   uint32_t(buffer_[4 * i + 2]) << 16 | uint32_t(buffer_[4 * i + 3]) << 24;
        uint32_t a = s_[0], b = s_[1], c = s_[2], d = s_[3];
        for (uint32_t i = 0; i < 64; ++i) {
            const uint32_t t = static_cast<uint32_t>(std::abs(std::sin(double(i + 1))) * 4294967296.0);
            uint32_t f;
            int k;
            if (i < 16) {
                f = (b & c) | (~b & d);
                k = int(i);
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                k = int(5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                k = int(3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                k = int(7 * i) % 16;
            }
            const uint32_t next = b + rotl(a + f + x[k] + t, r[i / 16][i % 4]);
            a = d;
            d = c;
            c = b;
            b = next;
        }
        s_[0] += a;
        s_[1] += b;
        s_[2] += c;
        s_[3] += d;
    }
    uint32_t s_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    uint8_t buffer_[64] = {};
    uint64_t count_ = 0;
};

QString reference(const QByteArray& bytes, int length) {
    Streaming s;
    for (const char b : bytes)
        s.feed(static_cast<uint8_t>(b));
    return s.finish(length);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reference itself is right: the published values of this variant.
    check(reference("abc", 32) == QStringLiteral("489BF104F3854BF31F7DE37299BE6813"), "reference abc");
    check(reference("", 32) == QStringLiteral("6EBD859324B30FDC4E3818C09AC998B8"), "reference empty");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const Result<QString> d32 = md5DigestBytes(bytes, 32);
    const Result<QString> d16 = md5DigestBytes(bytes, 16);
    if (bytes.size() > kMd5DigestMaxBytes) {
        check(!d32 && !d16, "over the limit but digested");
        return 0;
    }
    check(d32 && d16, "refused within the limit");
    check(d32.value() == reference(bytes, 32), "differs from the reference");
    check(d16.value() == d32.value().mid(8, 16), "short form is not the middle");
    // A text digests as its GBK bytes.
    const QString text = QString::fromUtf8(bytes);
    const QByteArray gbk = toGbk(text);
    if (gbk.size() <= kMd5DigestMaxBytes)
        check(md5Digest(text, 32).value_or("text") == md5DigestBytes(gbk, 32).value_or("bytes"),
              "text and its GBK bytes differ");
    return 0;
}
