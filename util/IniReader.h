#pragma once

#include <QString>

// Reads one value from an INI file the way the Windows profile reader does when it is given a
// 255-byte buffer, so that settings files written for Windows clients read back the same:
// - the file is GBK text with CR LF or LF line ends;
// - section and key names match case-insensitively, blanks and tabs around them ignored;
// - lines whose first non-blank character is ';' are comments; lines without '=' hold no key;
// - only the first section of that name is searched, and the first key in it wins;
// - blanks and tabs around the value are dropped, then one pair of matching enclosing quotes
//   (' or ");
// - the value is cut to 254 bytes of its GBK form, never in the middle of a character;
// - a missing file, section or key gives the empty text.
// Deliberately not QSettings: that one splits values at commas and interprets quotes and '%'.
QString ReadProfileString(const QString& filePath, const QString& section, const QString& key);
