#include "host/ControlContainer.h"

#include "control/VornikInterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QLibrary>
#include <QLoggingCategory>
#include <QPluginLoader>
#include <QUuid>

Q_LOGGING_CATEGORY(lcHost, "vornik.host", QtWarningMsg)

namespace {

bool sameClassId(const QString& a, const QString& b) {
    const QUuid left = QUuid::fromString(a);
    return !left.isNull() && left == QUuid::fromString(b);
}

} // namespace

QString ControlContainer::applicationDir() {
    return QCoreApplication::applicationDirPath();
}

QStringList ControlContainer::defaultSearchPath(const QString& appDir) {
    QStringList path;
    const QString env = qEnvironmentVariable("VORNIK_PLUGIN_PATH");
    for (const QString& dir : env.split(QDir::listSeparator(), Qt::SkipEmptyParts))
        path << dir;
    path << QDir::cleanPath(appDir + QStringLiteral("/../plugins"))
         << QDir::cleanPath(appDir + QStringLiteral("/plugins"))
         << QDir::cleanPath(appDir + u'/' + QStringLiteral(VORNIK_INSTALLED_PLUGIN_RELDIR));
    return path;
}

ControlContainer::ControlContainer(QStringList searchPath) : searchPath_(std::move(searchPath)) {}

QString ControlContainer::findLibrary(const QString& progId, const QString& classId) const {
    for (const QString& dir : searchPath_) {
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
    QWidget* control = loadControl(progId, classId, parent, errorText);
    if (!control)
        qCWarning(lcHost).noquote() << errorText;
    return control;
}

QWidget* ControlContainer::loadControl(const QString& progId, const QString& classId, QWidget* parent,
                                       QString& errorText) {
    const QString file = findLibrary(progId, classId);
    if (file.isEmpty()) {
        errorText = QStringLiteral("无法创建控件 %1 %2：在以下文件夹中找不到它的控件库：\n%3")
                        .arg(progId, classId, searchPath_.join(u'\n'));
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
    qCInfo(lcHost).noquote() << "created" << progId << "as" << control->metaObject()->className() << "from"
                             << QDir::toNativeSeparators(file);
    return control;
}
