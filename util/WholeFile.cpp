#include "util/WholeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// What Qt 6.4's QSaveFile does on Linux, as found with strace (and what this file relies on):
// - open() follows a symbolic link at the target and replaces the file it points to, wherever that
//   is; hence the check here and the rename of our own.
// - The data goes to an unnamed O_TMPFILE in the target's folder (a named "<name>.XXXXXX" where the
//   file system lacks O_TMPFILE), created 0666 less the umask for a new file; for an existing file
//   0600, then set to the old file's permissions. commit() calls fdatasync but ignores its failure,
//   then links the file in; over an existing file it links "<name>.XXXXXX" and renames that, which
//   fails ("Unknown error") for a name within seven bytes of the 255-byte limit.
// - A failed write or commit, or a QSaveFile destroyed uncommitted, leaves no temporary file.

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString writeFailed(const QString& path, const QString& reason) {
    return QStringLiteral("无法写入 %1：%2").arg(path, reason);
}

QFileDevice::Permissions permissionsOf(mode_t mode) {
    const int owner = (mode >> 6) & 7, group = (mode >> 3) & 7, other = mode & 7;
    // Qt keeps the owner's bits twice, as "owner" and as "user" (the latter means us on Windows).
    return QFileDevice::Permissions::fromInt(owner << 12 | owner << 8 | group << 4 | other);
}

QString withoutTrailingSlashes(QString path) {
    // lstat("link/") would look through the link.
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

// mkdir -p: 0 or the errno of the folder that could not be made.
int makeFolders(const QByteArray& path) {
    if (::mkdir(path.constData(), 0777) == 0 || errno == EEXIST)
        return 0;
    const int error = errno;
    const qsizetype slash = path.lastIndexOf('/');
    if (error != ENOENT || slash <= 0)
        return error;
    if (const int parent = makeFolders(path.left(slash)))
        return parent;
    return ::mkdir(path.constData(), 0777) == 0 || errno == EEXIST ? 0 : errno;
}

} // namespace

Status writeWholeFile(const QString& path, const QByteArray& bytes,
                      std::optional<QFileDevice::Permissions> permissions) {
    const QFileInfo target(path);
    if (target.fileName().isEmpty())
        return Status::failure(writeFailed(path, QStringLiteral("文件名是空的")));
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat old {};
    if (::lstat(nativePath.constData(), &old) == 0) {
        if (S_ISLNK(old.st_mode))
            return Status::failure(
                writeFailed(path, QStringLiteral("它是一个符号链接，写入会改动它所指向的别处的文件")));
        if (S_ISDIR(old.st_mode))
            return Status::failure(writeFailed(path, QStringLiteral("同名的文件夹已存在")));
        if (!S_ISREG(old.st_mode))
            return Status::failure(writeFailed(path, QStringLiteral("它不是普通文件")));
        if (::faccessat(AT_FDCWD, nativePath.constData(), W_OK, AT_EACCESS) != 0)
            return Status::failure(writeFailed(path, QStringLiteral("文件是只读的")));
        if (!permissions)
            permissions = permissionsOf(old.st_mode);
    } else if (errno != ENOENT) {
        return Status::failure(writeFailed(path, systemError(errno)));
    }

    const QString folder = target.absolutePath();
    const QString temporary =
        folder + QStringLiteral("/.vornik-") + QString::number(QRandomGenerator::system()->generate64(), 16);
    QSaveFile file(temporary);
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(writeFailed(path, file.errorString()));
    if (permissions && !file.setPermissions(*permissions))
        return Status::failure(writeFailed(path, file.errorString()));
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        // Qt words some failures (a full disk among them) as "Unknown error"; the system's own reason
        // says more.
        const QString reason = errno != 0 ? systemError(errno) : file.errorString();
        return Status::failure(writeFailed(path, QStringLiteral("写入失败：") + reason));
    }
    // commit() syncs too, but goes on when that fails.
    if (::fsync(file.handle()) != 0)
        return Status::failure(
            writeFailed(path, QStringLiteral("未能把内容存到磁盘上：") + systemError(errno)));
    if (!file.commit())
        return Status::failure(writeFailed(path, file.errorString()));

    const QByteArray nativeTemporary = QFile::encodeName(temporary);
    if (::rename(nativeTemporary.constData(), nativePath.constData()) != 0) {
        const int error = errno;
        ::unlink(nativeTemporary.constData());
        return Status::failure(writeFailed(path, QStringLiteral("无法替换原文件：") + systemError(error)));
    }
    // The rename itself reaches the disk with the folder. Best effort: the new file is complete
    // and in place either way, and some file systems cannot sync a folder.
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {};
}

Status checkOwnFolder(const QString& path) {
    const QString folder = withoutTrailingSlashes(path);
    struct stat st {};
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0)
        return Status::failure(errno == ENOENT
                                   ? QStringLiteral("文件夹 %1 不存在").arg(folder)
                                   : QStringLiteral("无法查看文件夹 %1：%2").arg(folder, systemError(errno)));
    if (S_ISLNK(st.st_mode))
        return Status::failure(
            QStringLiteral("%1 是一个符号链接，不是文件夹；为免写到别处，不在其中写入").arg(folder));
    if (!S_ISDIR(st.st_mode))
        return Status::failure(QStringLiteral("%1 不是文件夹").arg(folder));
    if (st.st_uid != ::geteuid())
        return Status::failure(
            QStringLiteral("文件夹 %1 属于另一个用户（uid %2），不在其中写入").arg(folder).arg(st.st_uid));
    return {};
}

Status makeOwnFolder(const QString& path) {
    const QString folder = withoutTrailingSlashes(path);
    if (const int error = makeFolders(QFile::encodeName(folder)))
        return Status::failure(QStringLiteral("无法创建文件夹 %1：%2").arg(folder, systemError(error)));
    return checkOwnFolder(folder);
}
