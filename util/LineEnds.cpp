#include "util/LineEnds.h"

QString shownLineEnds(QStringView stored) {
    QString out(stored.size(), Qt::Uninitialized);
    QChar* to = out.data();
    for (qsizetype i = 0; i < stored.size(); ++i) {
        if (!(stored[i] == u'\r' && i + 1 < stored.size() && stored[i + 1] == u'\n'))
            *to++ = stored[i];
    }
    out.truncate(to - out.constData());
    return out;
}

QString storedLineEnds(QStringView shown) {
    QString out(shown.size() + shown.count(u'\n'), Qt::Uninitialized);
    QChar* to = out.data();
    for (const QChar c : shown) {
        if (c == u'\n')
            *to++ = u'\r';
        *to++ = c;
    }
    return out;
}
