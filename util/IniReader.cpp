#include "util/IniReader.h"

#include "util/Gbk.h"
#include "util/Secret.h"

#include <QFile>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QStringView>

#include <optional>

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

QStringView untilNul(QStringView value) {
    const qsizetype nul = value.indexOf(QChar(u'\0'));
    return nul < 0 ? value : value.first(nul);
}

// A value may be a password: every copy made on the way is overwritten before it is let go of.
qsizetype gbkSize(QStringView text) {
    QString copy = text.toString();
    QByteArray bytes = toGbk(copy);
    const qsizetype size = bytes.size();
    wipe(bytes);
    wipe(copy);
    return size;
}

QString cutToBufferSize(QStringView value) {
    if (gbkSize(value) <= kMaxValueBytes)
        return value.toString();
    // Whole characters only, so a double-byte character that does not fit is left out entirely
    // rather than split. Each is measured by its own GBK form; one GBK cannot hold counts as the
    // one substitute byte it would become in the buffer, and is kept as it is.
    qsizetype bytes = 0;
    qsizetype kept = 0;
    while (kept < value.size()) {
        const qsizetype width = value[kept].isHighSurrogate() && kept + 1 < value.size() ? 2 : 1;
        const qsizetype size = gbkSize(value.sliced(kept, width));
        if (bytes + size > kMaxValueBytes)
            break;
        bytes += size;
        kept += width;
    }
    return value.first(kept).toString();
}

Result<QString> decode(const QByteArray& bytes) {
    // A file saved by an editor as Unicode says so in its first bytes; everything else is the
    // system code page, as the login dialog writes it.
    if (const std::optional<QStringConverter::Encoding> e = QStringConverter::encodingForData(bytes);
        e &&
        (bytes.startsWith("\xef\xbb\xbf") || bytes.startsWith("\xff\xfe") || bytes.startsWith("\xfe\xff")))
        return QString(
            QStringDecoder(*e, QStringConverter::Flag::Stateless).decode(bytes)); // the mark is skipped
    return tryFromGbk(bytes);
}

// The key's value in a file's decoded text.
QString valueIn(const QString& content, const QString& section, const QString& key) {
    const QStringView wantedSection = trimBlanks(section);
    const QStringView wantedKey = trimBlanks(key);
    bool inSection = false;

    qsizetype start = 0;
    while (start <= content.size()) {
        // CR LF, LF and a lone CR each end a line; the empty line between CR and LF is skipped.
        qsizetype end = start;
        while (end < content.size() && content[end] != u'\r' && content[end] != u'\n')
            ++end;
        QStringView line = trimBlanks(QStringView(content).sliced(start, end - start));
        start = end + 1;
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
        return cutToBufferSize(untilNul(stripQuotes(trimBlanks(line.sliced(equals + 1)))));
    }
    return {};
}

} // namespace

Result<QString> readProfileStringFromBytes(const QByteArray& bytes, const QString& section,
                                           const QString& key) {
    Result<QString> decoded = decode(bytes);
    if (!decoded)
        return decoded.error();
    QString value = valueIn(decoded.value(), section, key);
    wipe(decoded.value()); // the whole file's text, a password among it
    return value;
}

Result<QStringList> readProfileStrings(const QString& filePath, const QString& section,
                                       const QStringList& keys) {
    QStringList values(keys.size());
    // Unbuffered, so that no buffer of the file's own keeps the text after it is wiped here.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return values;
    QByteArray bytes(static_cast<qsizetype>(std::max<qint64>(file.size(), 0)), '\0');
    const qint64 got = file.read(bytes.data(), bytes.size());
    bytes.truncate(std::max<qint64>(got, 0));
    Result<QString> decoded = decode(bytes);
    wipe(bytes);
    if (!decoded)
        return Status::failure(
            QStringLiteral("无法读取设置文件 %1：%2").arg(filePath, decoded.error().description));
    for (qsizetype i = 0; i < keys.size(); ++i)
        values[i] = valueIn(decoded.value(), section, keys[i]);
    wipe(decoded.value());
    return values;
}

Result<QString> readProfileString(const QString& filePath, const QString& section, const QString& key) {
    Result<QStringList> values = readProfileStrings(filePath, section, {key});
    if (!values)
        return values.error();
    return values.value().value(0);
}

QString ReadProfileString(const QString& filePath, const QString& section, const QString& key,
                          QString* error) {
    return ReadProfileStrings(filePath, section, {key}, error).value(0);
}

QStringList ReadProfileStrings(const QString& filePath, const QString& section, const QStringList& keys,
                               QString* error) {
    Result<QStringList> values = readProfileStrings(filePath, section, keys);
    if (error)
        *error = values ? QString() : values.error().description;
    return values ? std::move(values.value()) : QStringList(keys.size());
}

QString ReadProfileStringFromBytes(const QByteArray& bytes, const QString& section, const QString& key,
                                   QString* error) {
    Result<QString> value = readProfileStringFromBytes(bytes, section, key);
    if (error)
        *error = value ? QString() : value.error().description;
    return value ? std::move(value.value()) : QString();
}
