// Test_Vornik: one window showing one search control, created from the control library.
#include "host/ControlContainer.h"
#include "host/FrmMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon (vornik.desktop).
    QGuiApplication::setDesktopFileName(QStringLiteral("vornik"));
    FrmMain form;
    ControlContainer container;
    if (!form.loadControl(container))
        return 1;
    if (!form.restorePlace())
        form.Form_Load();
    form.show();
    return app.exec();
}
