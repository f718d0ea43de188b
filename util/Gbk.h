#pragma once

#include <QByteArray>
#include <QString>

// Code page 936 (GBK) is the byte form of every text the system digests or writes to disk,
// so that files and digests match those made on Chinese-language Windows systems.

// Characters GBK cannot represent become whatever the converter substitutes (usually '?').
QByteArray toGbk(const QString& text);

// Invalid byte sequences become U+FFFD; a lone lead byte at the very end is dropped.
QString fromGbk(const QByteArray& bytes);
