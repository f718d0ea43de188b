#pragma once
// Creates a control from a control library found by its program id and class id. Candidates are
// the plugin libraries in the search folders; their metadata is read without loading them, so no
// other library's code runs, and only the one that matches is loaded.
#include <QString>
#include <QStringList>

class QWidget;

class ControlContainer {
public:
    // The folders named by VORNIK_PLUGIN_PATH (separated like PATH), then "../plugins" and
    // "plugins" next to the executable (the build puts the library in <build>/plugins), then the
    // folder an installation puts it in, relative to the executable's (bin/ -> lib/<arch>/vornik),
    // so an installed or unpacked copy finds its own library wherever it lies.
    static QStringList defaultSearchPath(const QString& appDir = applicationDir());
    // The folder of the running executable.
    static QString applicationDir();

    explicit ControlContainer(QStringList searchPath = defaultSearchPath());

    const QStringList& searchPath() const { return searchPath_; }

    // The file of the first library, in search order, whose metadata names the factory interface,
    // `progId` (without regard to case) and `classId` (a GUID, compared as one); empty when none.
    QString findLibrary(const QString& progId, const QString& classId) const;

    // Loads the library found for `progId` and `classId` and creates one control as a child of
    // `parent`. On failure returns nullptr and sets `errorText` to a message for the user.
    // Both outcomes are also logged in the category "vornik.host": failures as warnings, the
    // library a control came from as information (QT_LOGGING_RULES="vornik.host.info=true").
    QWidget* createControl(const QString& progId, const QString& classId, QWidget* parent,
                           QString& errorText);

private:
    QWidget* loadControl(const QString& progId, const QString& classId, QWidget* parent, QString& errorText);

    QStringList searchPath_;
};
