#include "util/ExportName.h"

QString exportFileName(const QString& title) {
    QString name = title;
    name.remove(QStringLiteral("\r\n"));
    name.replace(u'/', QStringLiteral("【正斜线】"));
    name.replace(u'|', QStringLiteral("【或竖线】"));
    // An empty title would make a hidden ".txt".
    if (name.isEmpty())
        name = QStringLiteral("（无标题）");

    const QString extension = QStringLiteral(".txt");
    const qsizetype room = kFileNameMaxBytes - extension.size();
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
    return out + extension;
}
