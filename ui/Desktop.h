#pragma once
// Opening files, folders and web addresses and starting programs go through this seam:
// never a command line through a shell, and tests can record what would have been opened.
#include <QString>
#include <QUrl>

class Desktop {
public:
    virtual ~Desktop() = default;
    virtual bool openUrl(const QUrl& url) = 0;
    // Starts `program` without arguments and without waiting.
    virtual bool startDetached(const QString& program) = 0;
};

Desktop& desktop();
void setDesktop(Desktop* d);
