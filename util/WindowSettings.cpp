#include "util/WindowSettings.h"

#include <QDir>

QString windowSettingsPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/vornik/window.conf");
}

std::unique_ptr<QSettings> windowSettings() {
    return std::make_unique<QSettings>(windowSettingsPath(), QSettings::IniFormat);
}

QString saveWindowSettings(QSettings& settings) {
    settings.sync();
    return settings.status() == QSettings::NoError
               ? QString()
               : QStringLiteral("无法保存窗口设置 %1").arg(settings.fileName());
}
