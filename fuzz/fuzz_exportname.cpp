// Export file names for any title, lone surrogates and all: one harmless path part within the file
// system's limit that a Windows client can open too, cut only where the limit requires, and the very
// name the exports always gave wherever that was already such a name.
#include "util/ExportName.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

bool isControl(QChar c) {
    return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f);
}

// The title part as the exports made it before names were made safe, with what cannot be in a name
// replaced, one code point a list entry.
QStringList titlePart(const QString& title) {
    QString name = title;
    name.remove(QStringLiteral("\r\n"));
    name.replace(u'/', QStringLiteral("【正斜线】"));
    name.replace(u'|', QStringLiteral("【或竖线】"));
    const QString refused = QStringLiteral("<>:\"\\?*"), fullWidth = QStringLiteral("＜＞：＂＼？＊");
    for (qsizetype k = 0; k < refused.size(); ++k)
        name.replace(refused.at(k), fullWidth.at(k));
    while (name.endsWith(u' ') || name.endsWith(u'.'))
        name.chop(1);
    if (name.isEmpty())
        name = QStringLiteral("（无标题）");
    static const QRegularExpression device(QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9]) *(\\.|$)"),
                                           QRegularExpression::CaseInsensitiveOption);
    if (device.match(name).hasMatch())
        name.prepend(u'_');
    QStringList out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name.at(i).isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            out << name.mid(i++, 2);
            continue;
        }
        const QChar c = name.at(i);
        out << (isControl(c) ? QStringLiteral("_") : c.isSurrogate() ? QStringLiteral("\uFFFD") : QString(c));
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every pair of bytes is one UTF-16 code unit, so lone surrogates and NULs come up often.
    QString title(static_cast<qsizetype>(size / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < title.size(); ++i)
        title[i] = QChar(char16_t(data[2 * i] | data[2 * i + 1] << 8));

    const QString name = exportFileName(title);
    check(name.endsWith(QStringLiteral(".txt")), "does not end in .txt");
    check(name != QStringLiteral(".") && name != QStringLiteral(".."), "a dot name");
    check(!name.contains(u'/'), "more than one path part");
    check(std::none_of(name.begin(), name.end(), isControl), "a control character or NUL");
    check(QStringView(name).isValidUtf16(), "a lone surrogate");
    check(name.toUtf8().size() <= kFileNameMaxBytes, "longer than the file system takes");
    const QString stem = name.chopped(4);
    check(std::none_of(stem.begin(), stem.end(), [](QChar c) { return QStringView(u"<>:\"\\|?*/").contains(c); }),
          "a character Windows refuses");
    check(!stem.isEmpty() && !stem.endsWith(u' ') && !stem.endsWith(u'.'), "a blank or dot at the end");

    // The longest start of the title part that fits, whole code points only.
    QString expected;
    for (const QString& c : titlePart(title)) {
        if ((expected + c).toUtf8().size() + 4 > kFileNameMaxBytes)
            break;
        expected += c;
    }
    while (expected.endsWith(u' ') || expected.endsWith(u'.'))
        expected.chop(1);
    if (expected.isEmpty())
        expected = QStringLiteral("（无标题）");
    check(name == expected + QStringLiteral(".txt"), "not the title part cut to fit");
    return 0;
}
