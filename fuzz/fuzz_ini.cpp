// The settings reader on any bytes: no crash, and every value it returns could have come out of the
// caller's 255-byte buffer (one line's worth, no NUL, at most 254 bytes of GBK). CR LF, LF and a
// lone CR are the same line end to it.
#include "util/Gbk.h"
#include "util/IniReader.h"

#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const kKeys[] = {"dbServerIP", "dbName", "dbUse", "dbPwd", "k"};

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

QStringList readAll(const QByteArray& bytes) {
    QStringList out;
    for (const char* key : kKeys)
        out << readProfileStringFromBytes(bytes, QStringLiteral("main"), QLatin1String(key))
                   .value_or(QString());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList values = readAll(bytes);
    for (const QString& v : values) {
        check(!v.contains(QChar(u'\0')), "value holds a NUL");
        check(!v.contains(u'\r') && !v.contains(u'\n'), "value spans lines");
        check(toGbk(v).size() <= 254, "value longer than the buffer");
    }
    // The line ends of a GBK file are interchangeable. (A file with a byte-order mark is UTF-16 or
    // UTF-8, where a CR or LF byte may belong to another character.)
    if (!bytes.startsWith("\xef\xbb\xbf") && !bytes.startsWith("\xff\xfe") && !bytes.startsWith("\xfe\xff")) {
        QByteArray lf = bytes;
        lf.replace("\r\n", "\n");
        check(readAll(lf) == values, "CR LF and LF read differently");
        QByteArray cr = lf;
        cr.replace('\n', '\r');
        check(readAll(cr) == values, "LF and CR read differently");
    }
    return 0;
}
