#pragma once

#include "util/Status.h"

#include <QByteArray>
#include <QString>

// The system's MD5 variant: RFC 1321 with the first rotation of round 1 set to 8 (not 7) and
// the second rotation of round 2 set to 8 (not 9). Settings files hold digests made this way,
// so a stock MD5 routine cannot stand in for it.

// Largest byte form accepted; longer inputs are refused with an overflow error.
inline constexpr qsizetype kMd5DigestMaxBytes = 32767;

// Digests the GBK byte form of `text`. A `digestLength` of 32 gives the 32-character digest,
// any other value the 16-character short form (characters 9 to 24 of the long one). Hex digits
// are uppercase, since callers compare digests as exact, case-sensitive text.
// An error on overflow, or when the text is not ASCII and Qt has no GBK converter.
Result<QString> md5Digest(const QString& text, int digestLength);

// The same over raw bytes, for input that is already in its byte form.
Result<QString> md5DigestBytes(const QByteArray& bytes, int digestLength);
