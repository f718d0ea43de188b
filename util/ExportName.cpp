#include "util/ExportName.h"

namespace {

// Windows' device names, which no file may be called, whatever its extension.
bool reservedOnWindows(QStringView part) {
    QStringView stem = part.left(part.indexOf(u'.'));
    while (stem.endsWith(u' '))
        stem.chop(1);
    static const QStringList kNames = {QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                       QStringLiteral("NUL")};
    if (kNames.contains(stem.toString(), Qt::CaseInsensitive))
        return true;
    return stem.size() == 4 &&
           (stem.startsWith(u"COM", Qt::CaseInsensitive) || stem.startsWith(u"LPT", Qt::CaseInsensitive)) &&
           stem.at(3) >= u'1' && stem.at(3) <= u'9';
}

// The title part before it is cut to fit: spelled out, and cleaned of what Windows cannot hold.
QString titlePart(const QString& title) {
    QString name = title;
    name.remove(QStringLiteral("\r\n"));
    name.replace(u'/', QStringLiteral("【正斜线】"));
    name.replace(u'|', QStringLiteral("【或竖线】"));
    for (QChar& c : name) {
        // The full-width forms sit at U+FF01..U+FF5E, 0xFEE0 above their ASCII ones.
        if (QStringView(u"<>:\"\\?*").contains(c))
            c = QChar(char16_t(c.unicode() + 0xFEE0));
    }
    while (name.endsWith(u' ') || name.endsWith(u'.'))
        name.chop(1);
    // An empty title would make a hidden ".txt".
    if (name.isEmpty())
        name = QStringLiteral("（无标题）");
    if (reservedOnWindows(name))
        name.prepend(u'_');
    return name;
}

} // namespace

QString exportFileName(const QString& title, const QString& suffix) {
    const QString name = titlePart(title);
    const QString extension = suffix + QStringLiteral(".txt");
    const qsizetype room = kFileNameMaxBytes - extension.toUtf8().size();
    QString out;
    out.reserve(name.size() + extension.size());
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < name.size();) {
        const char16_t c = name.at(i).unicode();
        QStringView piece = QStringView(name).mid(i, 1);
        qsizetype length = c < 0x80 ? 1 : c < 0x800 ? 2 : 3; // bytes in UTF-8
        if (QChar::isHighSurrogate(c) && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            piece = QStringView(name).mid(i, 2);
            length = 4;
        } else if (QChar::isSurrogate(c)) {
            piece = u"\uFFFD";
        } else if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
            piece = u"_";
            length = 1;
        }
        if (bytes + length > room)
            break;
        out += piece;
        bytes += length;
        i += piece.size() == 2 ? 2 : 1;
    }
    // A cut may leave a blank or a dot at the end again, or nothing but them.
    while (out.endsWith(u' ') || out.endsWith(u'.'))
        out.chop(1);
    return (out.isEmpty() ? QStringLiteral("（无标题）") : out) + extension;
}

QString ExportNames::take(const QString& title) {
    QString name = exportFileName(title);
    for (int n = 2; taken_.contains(name.toCaseFolded()); ++n)
        name = exportFileName(title, QStringLiteral(" (%1)").arg(n));
    taken_.insert(name.toCaseFolded());
    return name;
}
