#pragma once
// The file a record is exported to is named after its title.
#include <QSet>
#include <QString>

// The longest file name Linux file systems (ext4, XFS, Btrfs) take, in bytes of its UTF-8 form.
inline constexpr qsizetype kFileNameMaxBytes = 255;

// The name the exports have always given a title: CR LF pairs removed, "/" and "|" spelled out as
// "【正斜线】" and "【或竖线】", an empty title as "（无标题）", then ".txt". Whatever the title, the
// name is also one harmless path part, and one a Windows client sharing the folder can open:
// - every control character (U+0000–U+001F with a CR or LF not in a pair, U+007F, U+0080–U+009F)
//   becomes "_", so no NUL cuts the name short and no line end or escape reaches a file manager;
// - the characters Windows refuses in a name, < > : " \ ? *, become their full-width forms
//   (＜ ＞ ： ＂ ＼ ？ ＊);
// - blanks and dots at the end of the title part go (Windows drops them), and a title part Windows
//   reserves for a device (CON, PRN, AUX, NUL, COM1–COM9, LPT1–LPT9, in any case, alone or before a
//   dot) gets a "_" in front;
// - a lone surrogate becomes U+FFFD, which is what the file system would get for it anyway, so the
//   name given here is the name on disk;
// - the title part is cut, at a character boundary, so that the whole name fits kFileNameMaxBytes
//   (with room for `suffix`, which is put before ".txt");
// - it always ends in ".txt", so it is never "." or "..".
// A short title free of these characters keeps the name it always had.
QString exportFileName(const QString& title, const QString& suffix = {});

// The names of one export: a title whose name an earlier record of the export took already (also in
// another letter case, as Windows compares names) gets " (2)", " (3)"... before ".txt", the first
// number free, so every listed record gets a file of its own, in list order.
class ExportNames {
public:
    QString take(const QString& title);

private:
    QSet<QString> taken_; // case-folded
};
