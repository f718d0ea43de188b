#include "util/IniReader.h"

#include "util/Gbk.h"

#include <QFile>
#include <QStringView>

namespace {

// The caller's buffer holds 255 bytes including the terminating NUL.
constexpr qsizetype kMaxValueBytes = 254;

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QStringView trimBlanks(QStringView s) {
    qsizetype begin = 0, end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.sliced(begin, end - begin);
}

bool sameName(QStringView a, QStringView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QStringView stripQuotes(QStringView value) {
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        return value.sliced(1, value.size() - 2);
    return value;
}

QString cutToBufferSize(QStringView value) {
    QByteArray bytes = toGbk(value.toString());
    if (bytes.size() <= kMaxValueBytes)
        return value.toString();
    // Walk whole characters so a double-byte character that does not fit is left out entirely
    // rather than split; in GBK a byte 0x81..0xFE starts a two-byte character.
    qsizetype kept = 0;
    while (kept < kMaxValueBytes) {
        const auto byte = static_cast<unsigned char>(bytes[kept]);
        const qsizetype width = (byte >= 0x81 && byte <= 0xfe) ? 2 : 1;
        if (kept + width > kMaxValueBytes)
            break;
        kept += width;
    }
    bytes.truncate(kept);
    return fromGbk(bytes);
}

} // namespace

QString ReadProfileString(const QString& filePath, const QString& section, const QString& key) {
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString content = fromGbk(file.readAll());

    const QStringView wantedSection = trimBlanks(section);
    const QStringView wantedKey = trimBlanks(key);
    bool inSection = false;

    for (QStringView line : QStringView(content).split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        line = trimBlanks(line);
        if (line.isEmpty() || line.front() == u';')
            continue;

        if (line.front() == u'[') {
            const qsizetype close = line.lastIndexOf(u']');
            if (close < 0)
                continue; // not a section header
            if (inSection)
                return {}; // only the first section of this name is searched
            inSection = sameName(trimBlanks(line.sliced(1, close - 1)), wantedSection);
            continue;
        }

        if (!inSection)
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        if (!sameName(trimBlanks(line.first(equals)), wantedKey))
            continue;
        return cutToBufferSize(stripQuotes(trimBlanks(line.sliced(equals + 1))));
    }
    return {};
}
