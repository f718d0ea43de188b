#include "ui/Desktop.h"

#include <QDesktopServices>
#include <QProcess>

namespace {

class QtDesktop final : public Desktop {
public:
    bool openUrl(const QUrl& url) override { return QDesktopServices::openUrl(url); }
    bool startDetached(const QString& program) override { return QProcess::startDetached(program, {}); }
};

QtDesktop g_real;
Desktop* g_current = &g_real;

} // namespace

Desktop& desktop() {
    return *g_current;
}

void setDesktop(Desktop* d) {
    g_current = d ? d : &g_real;
}
