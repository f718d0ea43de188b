#pragma once
// The file a record is exported to is named after its title.
#include <QString>

// The longest file name Linux file systems (ext4, XFS, Btrfs) take, in bytes of its UTF-8 form.
inline constexpr qsizetype kFileNameMaxBytes = 255;

// The name the exports have always given a title: CR LF pairs removed, "/" and "|" spelled out as
// "【正斜线】" and "【或竖线】", an empty title as "（无标题）", then ".txt". Whatever the title, the
// name is also one harmless path part:
// - every control character (U+0000–U+001F with a CR or LF not in a pair, U+007F, U+0080–U+009F)
//   becomes "_", so no NUL cuts the name short and no line end or escape reaches a file manager;
// - a lone surrogate becomes U+FFFD, which is what the file system would get for it anyway, so the
//   name given here is the name on disk;
// - the title part is cut, at a character boundary, so that the whole name fits kFileNameMaxBytes;
// - it always ends in ".txt", so it is never "." or "..".
// A short title free of control characters keeps the name it always had.
QString exportFileName(const QString& title);
