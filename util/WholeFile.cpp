#include "util/WholeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Every write goes by name within a folder handle (openat, renameat), never by a path that could be
// changed under it: the temporary file is created O_EXCL | O_NOFOLLOW, so a link planted under its
// name fails the write instead of sending it elsewhere, and the rename replaces whatever entry stands
// at the name, a link included, without following it.

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString writeFailed(const QString& path, const QString& reason) {
    return QStringLiteral("无法写入 %1：%2").arg(path, reason);
}

mode_t modeOf(QFileDevice::Permissions p) {
    mode_t m = 0;
    const std::pair<QFileDevice::Permission, mode_t> bits[] = {
        {QFileDevice::ReadOwner, S_IRUSR},  {QFileDevice::WriteOwner, S_IWUSR},
        {QFileDevice::ExeOwner, S_IXUSR},   {QFileDevice::ReadGroup, S_IRGRP},
        {QFileDevice::WriteGroup, S_IWGRP}, {QFileDevice::ExeGroup, S_IXGRP},
        {QFileDevice::ReadOther, S_IROTH},  {QFileDevice::WriteOther, S_IWOTH},
        {QFileDevice::ExeOther, S_IXOTH}};
    for (const auto& [flag, bit] : bits)
        m |= p.testFlag(flag) ? bit : 0;
    return m;
}

QString withoutTrailingSlashes(QString path) {
    // lstat("link/") would look through the link.
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

// mkdir -p: 0 or the errno of the folder that could not be made.
int makeFolders(const QByteArray& path) {
    if (::mkdir(path.constData(), 0755) == 0 || errno == EEXIST)
        return 0;
    const int error = errno;
    const qsizetype slash = path.lastIndexOf('/');
    if (error != ENOENT || slash <= 0)
        return error;
    if (const int parent = makeFolders(path.left(slash)))
        return parent;
    return ::mkdir(path.constData(), 0755) == 0 || errno == EEXIST ? 0 : errno;
}

bool isOnePathPart(const QString& name) {
    return !name.isEmpty() && !name.contains(u'/') && name != u"." && name != u"..";
}

// What keeps the file at `name` from being replaced, if anything; its mode in `old` when it exists.
QString refusal(const FolderHandle& folder, const QByteArray& name, std::optional<mode_t>& old) {
    struct stat st {};
    if (::fstatat(folder.fd(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? QString() : systemError(errno);
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("它是一个符号链接，写入会改动它所指向的别处的文件");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("同名的文件夹已存在");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("它不是普通文件");
    if (::faccessat(folder.fd(), name.constData(), W_OK, AT_EACCESS) != 0)
        return QStringLiteral("文件是只读的");
    old = st.st_mode & 07777;
    return {};
}

// Writes all of `bytes` to `fd` and syncs it: empty, or why it failed.
QString writeAllAndSync(int fd, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return QStringLiteral("写入失败：") + systemError(n < 0 ? errno : ENOSPC);
        done += n;
    }
    if (::fsync(fd) != 0)
        return QStringLiteral("未能把内容存到磁盘上：") + systemError(errno);
    return {};
}

} // namespace

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

FolderHandle::~FolderHandle() {
    if (fd_ >= 0)
        ::close(fd_);
}

Status writeWholeFileAt(const FolderHandle& folder, const QString& name, const QByteArray& bytes,
                        std::optional<QFileDevice::Permissions> permissions) {
    const QString path = folder.path() + u'/' + name;
    if (!isOnePathPart(name))
        return Status::failure(writeFailed(path, QStringLiteral("文件名是空的或不是一个文件名")));
    const QByteArray native = QFile::encodeName(name);
    std::optional<mode_t> old;
    if (const QString refused = refusal(folder, native, old); !refused.isEmpty())
        return Status::failure(writeFailed(path, refused));

    // Created owner-only and opened to the wanted permissions before any byte is written; a new file
    // without given permissions is created as any file is, 0666 less the umask.
    const bool asAnyFile = !permissions && !old;
    const QByteArray temporary =
        ".vornik-" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    const int fd = ::openat(folder.fd(), temporary.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, asAnyFile ? 0666 : 0600);
    if (fd < 0)
        return Status::failure(writeFailed(path, systemError(errno)));
    QString failed;
    if (!asAnyFile && ::fchmod(fd, permissions ? modeOf(*permissions) : *old) != 0)
        failed = systemError(errno);
    if (failed.isEmpty())
        failed = writeAllAndSync(fd, bytes);
    ::close(fd);
    if (failed.isEmpty() &&
        ::renameat(folder.fd(), temporary.constData(), folder.fd(), native.constData()) != 0)
        failed = QStringLiteral("无法替换原文件：") + systemError(errno);
    if (!failed.isEmpty()) {
        ::unlinkat(folder.fd(), temporary.constData(), 0);
        return Status::failure(writeFailed(path, failed));
    }
    // The rename itself reaches the disk with the folder. Best effort: the new file is complete
    // and in place either way, and some file systems cannot sync a folder.
    ::fsync(folder.fd());
    return {};
}

Status writeWholeFile(const QString& path, const QByteArray& bytes,
                      std::optional<QFileDevice::Permissions> permissions) {
    const QFileInfo target(path);
    if (target.fileName().isEmpty())
        return Status::failure(writeFailed(path, QStringLiteral("文件名是空的")));
    const QString dir = target.absolutePath();
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Status::failure(writeFailed(path, systemError(errno)));
    return writeWholeFileAt(FolderHandle(fd, dir), target.fileName(), bytes, permissions);
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

namespace {

// Why somebody else could change what is in the folder open at `fd`, or empty when nobody can. A
// `shared` folder may be root's, and writable by others when it is sticky (only an entry's owner may
// move or delete it then); any other folder must be ours and writable by us alone.
QString untrusted(int fd, const QString& folder, bool shared) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return QStringLiteral("无法查看文件夹 %1：%2").arg(folder, systemError(errno));
    if (st.st_uid != ::geteuid() && !(shared && st.st_uid == 0))
        return QStringLiteral("文件夹 %1 属于另一个用户（uid %2），不在其中写入").arg(folder).arg(st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(shared && (st.st_mode & S_ISVTX)))
        return QStringLiteral("文件夹 %1 其他用户也可以写入（权限 %2），其中的文件可能被替换或转向别处，"
                              "不在其中写入；请去掉组和其他用户的写权限（chmod go-w）")
            .arg(folder)
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

Result<FolderHandle> opened(int fd, const QString& folder, bool shared) {
    if (fd < 0) {
        const int error = errno;
        return Error{
            Error::kProviderError,
            error == ELOOP || error == ENOTDIR
                ? QStringLiteral("%1 不是文件夹（或是一个符号链接）；为免写到别处，不在其中写入").arg(folder)
                : QStringLiteral("无法打开文件夹 %1：%2").arg(folder, systemError(error))};
    }
    FolderHandle handle(fd, folder);
    if (const QString why = untrusted(fd, folder, shared); !why.isEmpty())
        return Error{Error::kProviderError, why};
    return handle;
}

} // namespace

Result<FolderHandle> openWritableFolder(const QString& path) {
    const QString folder = withoutTrailingSlashes(path);
    const QByteArray native = QFile::encodeName(folder);
    if (const int error = makeFolders(native))
        return Error{Error::kProviderError,
                     QStringLiteral("无法创建文件夹 %1：%2").arg(folder, systemError(error))};
    return opened(::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), folder, true);
}

Result<FolderHandle> openOwnSubfolder(const FolderHandle& parent, const QString& name) {
    const QString folder = parent.path() + u'/' + name;
    if (!isOnePathPart(name))
        return Error{Error::kProviderError, QStringLiteral("%1 不是一个文件夹名").arg(name)};
    const QByteArray native = QFile::encodeName(name);
    if (::mkdirat(parent.fd(), native.constData(), 0755) != 0 && errno != EEXIST)
        return Error{Error::kProviderError,
                     QStringLiteral("无法创建文件夹 %1：%2").arg(folder, systemError(errno))};
    return opened(::openat(parent.fd(), native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
                  folder, false);
}
