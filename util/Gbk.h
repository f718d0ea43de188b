#pragma once

#include "util/Status.h"

#include <QByteArray>
#include <QString>

// Code page 936 (GBK) is the byte form of every text the system digests or writes to disk,
// so that files and digests match those made on Chinese-language Windows systems.
//
// Qt converts GBK only when it was built with ICU. Without that converter ASCII still converts
// exactly (GBK's single bytes below 0x80 are ASCII), so a settings file or a password in plain
// ASCII keeps working; everything else is reported by the try* functions instead of guessed.

// Characters GBK cannot represent become whatever the converter substitutes (usually '?').
// Without a converter every non-ASCII character becomes '?'.
QByteArray toGbk(const QString& text);

// Invalid byte sequences become U+FFFD; a lone lead byte at the very end is dropped.
// Without a converter every byte from 0x80 up becomes U+FFFD.
QString fromGbk(const QByteArray& bytes);

// Whether Qt can convert GBK here.
bool gbkAvailable();

// Why a conversion failed: the GBK converter is missing and the text is not plain ASCII.
QString gbkMissingText();

// As toGbk / fromGbk, but an error (gbkMissingText()) when the converter is missing and the text or
// bytes are not plain ASCII.
Result<QByteArray> tryToGbk(const QString& text);
Result<QString> tryFromGbk(const QByteArray& bytes);

// The bytes of a text file for Chinese-language Windows readers that loses nothing: every character
// GBK holds is written as GBK (so a text GBK holds entirely gives exactly toGbk's bytes, "€" the
// single byte 0x80), every other one (emoji, rare CJK, the zero-width joiner GBK drops, ...) as its
// GB18030 code, GBK's superset, instead of "?". A lone surrogate, which is no character, is written
// as U+FFFD in GB18030. `usedGb18030` tells whether any character needed GB18030, so a caller can
// warn that a plain GBK reader shows those few as unreadable bytes. Without the GBK converter as
// tryToGbk.
struct AnsiBytes {
    QByteArray bytes;
    bool usedGb18030 = false;
};
Result<AnsiBytes> toAnsiBytes(const QString& text);

// Tests name a converter that does not exist to see how a Qt without GBK behaves; an empty name
// restores GBK.
void setGbkCodecName(const QByteArray& name);
