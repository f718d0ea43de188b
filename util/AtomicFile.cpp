#include "util/AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

QString writeFileAtomically(const QString& path, const QByteArray& bytes,
                            QFileDevice::Permissions permissions) {
    const QFileInfo target(path);
    if (target.fileName().isEmpty())
        return QStringLiteral("文件名是空的");
    if (target.isDir())
        return QStringLiteral("同名的文件夹已存在");
    QTemporaryFile temp(target.absolutePath() + QStringLiteral("/.vornik-XXXXXX"));
    if (!temp.open())
        return temp.errorString();
    if (temp.write(bytes) != bytes.size() || !temp.flush()) {
        const QString reason = temp.errorString();
        return reason.isEmpty() ? QStringLiteral("写入失败") : reason;
    }
    temp.setPermissions(permissions);
    // rename() replaces an existing file in one step; QFile::rename would refuse to.
    if (std::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    temp.setAutoRemove(false);
    return {};
}
