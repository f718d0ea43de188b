#include "util/ModulePath.h"

#include <QFileInfo>

#include <dlfcn.h>

namespace {
QString g_override;
} // namespace

QString moduleFilePath() {
    if (!g_override.isEmpty())
        return g_override;
    Dl_info info{};
    // Any address inside this module names the file it was loaded from.
    if (dladdr(reinterpret_cast<void*>(&moduleFilePath), &info) == 0 || !info.dli_fname)
        return {};
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath();
}

void setModuleFilePath(const QString& path) {
    g_override = path;
}
