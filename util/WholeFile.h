#pragma once
// Every file the program writes is written whole: the file at a path is replaced only once all of
// its new bytes are on disk, so a full disk, a crash or a power cut never leaves a half-written file
// that looks complete. Failures name the file or folder, so callers can show them as they are.
#include "util/Status.h"

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <optional>

// A folder held open by one handle, through which files are written by name: nothing that replaces
// the folder, or any folder on its path, after it was opened can send a write elsewhere.
class FolderHandle {
public:
    FolderHandle() = default;
    FolderHandle(int fd, QString path) : fd_(fd), path_(std::move(path)) {}
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    ~FolderHandle();

    int fd() const { return fd_; }
    // The path it was opened by (for messages; the folder may have been moved since).
    const QString& path() const { return path_; }

private:
    int fd_ = -1;
    QString path_;
};

// Writes `bytes` to the file `name` (one path part) in `folder`, replacing any file there.
// - The bytes go to a fresh, short, hidden file in the folder (created exclusively, never through a
//   symbolic link), synced to disk (a failed sync fails the write), and only then renamed over
//   `name` within the folder; rename replaces a symbolic link planted at `name` after the check
//   below rather than writing where it points. Names up to the 255-byte limit can be replaced.
// - A new file gets 0666 less the umask, an existing one keeps its permissions; `permissions`,
//   when given, is used instead in both cases (the settings file passes owner read and write only).
//   They are set before the first byte is written, so no byte is ever readable more widely.
// - Refused: an empty name, or one that is not one path part; a `name` that is a symbolic link (it
//   would be followed to a file elsewhere), a folder or another non-regular file; an existing file we
//   may not write to.
// - On failure the old file is untouched and no temporary file is left behind. (Only a crash
//   between the sync and the rename can leave a complete hidden ".vornik-…" file beside it.)
Status writeWholeFileAt(const FolderHandle& folder, const QString& name, const QByteArray& bytes,
                        std::optional<QFileDevice::Permissions> permissions = std::nullopt);

// The same for a file named by its path: written in the folder the path names.
Status writeWholeFile(const QString& path, const QByteArray& bytes,
                      std::optional<QFileDevice::Permissions> permissions = std::nullopt);

// Whether `path` is a folder of our own to write files into: refused when it is missing, a symbolic
// link (even one to a folder of ours: it could be changed to point elsewhere), not a folder, or owned
// by another user than the effective one. Trailing slashes are ignored.
Status checkOwnFolder(const QString& path);

// Creates `path` (and missing folders above it) with 0755 less the umask when it is missing, then
// checks it as checkOwnFolder does.
Status makeOwnFolder(const QString& path);

// The folder `path` opened for writing files into, refused unless it is safe to write there: not a
// symbolic link; ours or root's; and nobody else may change what is in it (neither group nor others
// may write to it, unless it is sticky: there only an entry's owner can rename or delete it, which is
// what the export folder of a shared library folder is). Missing, it is made (0755 less the umask).
Result<FolderHandle> openWritableFolder(const QString& path);

// The folder `name` in `parent`, opened without following a symbolic link and made (0755 less the
// umask) when missing: refused unless it is ours and nobody else may write to it.
Result<FolderHandle> openOwnSubfolder(const FolderHandle& parent, const QString& name);
