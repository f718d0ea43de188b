#include "host/ControlContainer.h"

#include "control/VornikInterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QUuid>

namespace {

bool sameClassId(const QString& a, const QString& b) {
    const QUuid left = QUuid::fromString(a);
    return !left.isNull() && left == QUuid::fromString(b);
}

} // namespace

QStringList ControlContainer::defaultSearchPath() {
    QStringList path;
    const QString env = qEnvironmentVariable("VORNIK_PLUGIN_PATH");
    for (const QString& dir : env.split(QDir::listSeparator(), Qt::SkipEmptyParts))
        path << dir;
    const QString appDir = QCoreApplication::applicationDirPath();
    path << QDir::cleanPath(appDir + QStringLiteral("/../plugins"))
         << QDir::cleanPath(appDir + QStringLiteral("/plugins"));
    return path;
}

ControlContainer::ControlContainer(QStringList searchPath) : m_searchPath(std::move(searchPath)) {}

QString ControlContainer::findLibrary(const QString& progId, const QString& classId) const {
    for (const QString& dir : m_searchPath) {
        const QFileInfoList files = QDir(dir).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo& file : files) {
            if (!QLibrary::isLibrary(file.fileName()))
                continue;
            // metaData() reads the library's metadata section; nothing is loaded.
            const QJsonObject meta = QPluginLoader(file.absoluteFilePath()).metaData();
            if (meta.value(u"IID").toString() != QLatin1String(IVornikControlFactory_iid))
                continue;
            const QJsonObject identity = meta.value(u"MetaData").toObject();
            if (identity.value(u"progId").toString().compare(progId, Qt::CaseInsensitive) == 0 &&
                sameClassId(identity.value(u"classId").toString(), classId))
                return file.absoluteFilePath();
        }
    }
    return {};
}

QWidget* ControlContainer::createControl(const QString& progId, const QString& classId, QWidget* parent,
                                         QString& errorText) {
    const QString file = findLibrary(progId, classId);
    if (file.isEmpty()) {
        errorText = QStringLiteral("无法创建控件 %1 %2：在以下文件夹中找不到它的控件库：\n%3")
                        .arg(progId, classId, m_searchPath.join(u'\n'));
        return nullptr;
    }
    // The loader may go; the library stays loaded while the control it made exists.
    QPluginLoader loader(file);
    QObject* instance = loader.instance();
    if (!instance) {
        errorText =
            QStringLiteral("无法加载控件库 %1：%2").arg(QDir::toNativeSeparators(file), loader.errorString());
        return nullptr;
    }
    auto* factory = qobject_cast<IVornikControlFactory*>(instance);
    QWidget* control = factory ? factory->createControl(parent) : nullptr;
    if (!control) {
        errorText = QStringLiteral("控件库 %1 未能创建控件 %2").arg(QDir::toNativeSeparators(file), progId);
        return nullptr;
    }
    return control;
}
