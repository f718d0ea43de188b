#pragma once

#include "util/Status.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Reads one value from an INI file the way the Windows profile reader does when it is given a
// 255-byte buffer, so that settings files written for Windows clients read back the same:
// - the file is GBK text (UTF-8 or UTF-16 when it starts with that byte-order mark); CR LF, LF
//   and a lone CR all end a line;
// - section and key names match case-insensitively, blanks and tabs around them ignored;
// - lines whose first non-blank character is ';' are comments; lines without '=' hold no key;
// - only the first section of that name is searched, and the first key in it wins;
// - blanks and tabs around the value are dropped, then one pair of matching enclosing quotes
//   (' or ");
// - the value ends at a NUL character, as the buffer's text does, and is cut to 254 bytes of its
//   GBK form, never in the middle of a character;
// - a missing file, section or key gives the empty text.
// Deliberately not QSettings: that one splits values at commas and interprets quotes and '%'.
//
// An error when the file holds text that cannot be read here (GBK text on a Qt without the GBK
// converter).
Result<QString> readProfileString(const QString& filePath, const QString& section, const QString& key);

// The values of `keys` (empty for a missing one), the file read and decoded once: a settings file holds a
// password, and every buffer that held its text, the file's bytes and their decoded text, is wiped
// before it is let go of.
Result<QStringList> readProfileStrings(const QString& filePath, const QString& section,
                                       const QStringList& keys);

// The same over a file's bytes (the caller's to wipe; the decoded text is wiped here).
Result<QString> readProfileStringFromBytes(const QByteArray& content, const QString& section,
                                           const QString& key);

// The same with an out-parameter for the error (cleared, or set; the values are then empty), for the
// callers not yet converted (the settings, the login dialog, vornik-admin); to be removed with them.
QString ReadProfileString(const QString& filePath, const QString& section, const QString& key,
                          QString* error = nullptr);
QStringList ReadProfileStrings(const QString& filePath, const QString& section, const QStringList& keys,
                               QString* error = nullptr);
QString ReadProfileStringFromBytes(const QByteArray& content, const QString& section, const QString& key,
                                   QString* error = nullptr);
