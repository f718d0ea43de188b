#pragma once
// Every file the program writes is written whole: the file at a path is replaced only once all of
// its new bytes are on disk, so a full disk, a crash or a power cut never leaves a half-written file
// that looks complete. Failures name the file or folder, so callers can show them as they are.
#include "util/Status.h"

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <optional>

// Writes `bytes` to `path`, replacing any file there.
// - The bytes are written through QSaveFile under a fresh, short, hidden name in the same folder,
//   synced to disk (fsync; a failed sync fails the write), and only then renamed over `path`. The
//   short name leaves room for QSaveFile's own temporary name, which it makes by adding seven
//   characters, so names up to the 255-byte limit can be replaced too; and rename(2) replaces a
//   symbolic link planted at `path` after the check below rather than writing where it points.
// - A new file gets 0666 less the umask, an existing one keeps its permissions; `permissions`,
//   when given, is used instead in both cases (the settings file passes owner read and write only).
//   They are set before the first byte is written, so no byte is ever readable more widely.
// - Refused: an empty file name; a `path` that is a symbolic link (it would be followed to a file
//   elsewhere), a folder or another non-regular file; an existing file we may not write to.
// - On failure the old file is untouched and no temporary file is left behind. (Only a crash
//   between the sync and the rename can leave a complete hidden ".vornik-…" file beside it.)
Status writeWholeFile(const QString& path, const QByteArray& bytes,
                      std::optional<QFileDevice::Permissions> permissions = std::nullopt);

// Whether `path` is a folder of our own to write files into: refused when it is missing, a symbolic
// link (even one to a folder of ours: it could be changed to point elsewhere), not a folder, or owned
// by another user than the effective one. Trailing slashes are ignored.
Status checkOwnFolder(const QString& path);

// Creates `path` (and missing folders above it) with 0777 less the umask when it is missing, then
// checks it as checkOwnFolder does.
Status makeOwnFolder(const QString& path);
