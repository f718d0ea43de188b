#include "FakeMessageBoxes.h"
#include "Seams.h"
#include "control/VornikInterface.h"
#include "host/ControlContainer.h"
#include "host/FrmMain.h"
#include "host/HostSizing.h"
#include "ui/MessageBoxes.h"

#include <QTemporaryDir>
#include <QtTest>
#include <QtWidgets>

#include <optional>

namespace {

const QString kProgId = QString::fromLatin1(vornik_identity::kProgId);
const QString kClassId = QString::fromLatin1(vornik_identity::kClassId);
const QString kPluginDir = QStringLiteral(VORNIK_PLUGIN_DIR);

} // namespace

using OptRect = std::optional<QRect>;
Q_DECLARE_METATYPE(OptRect)

class TestHost : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void outerSizeRule_data() {
        QTest::addColumn<QSize>("outer"); // twips
        QTest::addColumn<OptRect>("control");
        QTest::newRow("fits") << QSize(10000, 8000) << OptRect(QRect(50, 50, 9900, 7300));
        QTest::newRow("width exactly 100") << QSize(100, 8000) << OptRect();
        QTest::newRow("height exactly 700") << QSize(10000, 700) << OptRect();
        QTest::newRow("height 701") << QSize(10000, 701) << OptRect(QRect(50, 50, 9900, 1));
    }
    void outerSizeRule() {
        QFETCH(QSize, outer);
        QFETCH(OptRect, control);
        QCOMPARE(controlRectForOuterSize(outer.width(), outer.height()), control);
    }

    // The window fits its control at each size change; a size too small for the margins leaves it
    // where it was, and the next size that is large enough fits it again.
    void windowFitsControl_data() {
        QTest::addColumn<QList<QSize>>("sizes"); // outer sizes in pixels, applied in order
        QTest::addColumn<QRect>("control");      // pixels, after the last
        // 700 x 500 px = 10500 x 7500 twips: 50, 50, 10400, 6800 twips.
        const QRect fitted(3, 3, 693, 453);
        QTest::newRow("design size") << QList<QSize>{{1130, 639}} << QRect(3, 3, 1123, 592);
        QTest::newRow("fits") << QList<QSize>{{700, 500}} << fitted;
        QTest::newRow("too narrow keeps it") << QList<QSize>{{700, 500}, {6, 500}} << fitted;
        QTest::newRow("grows again") << QList<QSize>{{700, 500}, {5, 5}, {900, 600}} << QRect(3, 3, 893, 553);
    }
    void windowFitsControl() {
        QFETCH(QList<QSize>, sizes);
        QFETCH(QRect, control);
        FrmMain form;
        form.setControl(new QWidget);
        QCOMPARE(form.uVornik1->geometry(), QRect(32, 8, 1089, 617));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // The sizes are outer ones: the rule reads the frame, which is larger than the client area.
        const QSize frame = form.frameGeometry().size() - form.size();
        QVERIFY(!frame.isEmpty());
        for (const QSize& s : sizes) {
            form.resize(s - frame);
            QTRY_COMPARE(form.frameGeometry().size(), s);
        }
        QCOMPARE(form.uVornik1->geometry(), control);
    }

    // The frame, decoration included, ends up centred on the screen, whether the window is centred
    // before it is first shown (when it has no frame yet) or while shown. The offscreen platform
    // frames windows too, so a centring by the client size is off here as under a window manager.
    void formLoadCentresFrame_data() {
        QTest::addColumn<QSize>("client"); // pixels
        QTest::addColumn<bool>("beforeShow");
        // Sizes that fit the offscreen screen (800 x 800): it pushes windows that reach past its
        // left or top edge back in, which a desktop does not.
        QTest::newRow("before showing") << QSize(640, 480) << true;
        QTest::newRow("while shown") << QSize(640, 480) << false;
        QTest::newRow("odd size, before showing") << QSize(401, 301) << true;
        QTest::newRow("odd size, while shown") << QSize(401, 301) << false;
    }
    void formLoadCentresFrame() {
        QFETCH(QSize, client);
        QFETCH(bool, beforeShow);
        FrmMain form;
        QCOMPARE(form.size(), QSize(1130, 639)); // the design client area, 16950 x 9585 twips
        form.resize(client);
        if (beforeShow)
            form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        if (!beforeShow)
            form.Form_Load();
        QVERIFY2(form.frameGeometry().size() != form.size(), "the platform gave the window no frame");
        const QPoint screen = form.screen()->geometry().center();
        QTRY_VERIFY2(qAbs(form.frameGeometry().center().x() - screen.x()) <= 1 &&
                         qAbs(form.frameGeometry().center().y() - screen.y()) <= 1,
                     qPrintable(QStringLiteral("frame %1,%2 %3x%4, screen centre %5,%6")
                                    .arg(form.frameGeometry().x())
                                    .arg(form.frameGeometry().y())
                                    .arg(form.frameGeometry().width())
                                    .arg(form.frameGeometry().height())
                                    .arg(screen.x())
                                    .arg(screen.y())));
        QCOMPARE(form.size(), client);
    }

    // Centred once when first framed; a window the user moves afterwards stays where it was put.
    void laterExposureKeepsUsersPlace() {
        FrmMain form;
        form.resize(401, 301);
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_VERIFY(qAbs(form.frameGeometry().center().x() - form.screen()->geometry().center().x()) <= 1);
        form.move(10, 20);
        QTRY_COMPARE(form.pos(), QPoint(10, 20));
        form.hide();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::qWait(50);
        QCOMPARE(form.pos(), QPoint(10, 20));
    }

    void container_data() {
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<QString>("progId");
        QTest::addColumn<QString>("classId");
        QTest::addColumn<bool>("found");
        const QString missing = QDir::tempPath() + QStringLiteral("/vornik-no-such-folder");
        QTest::newRow("by program id") << QStringList{kPluginDir} << kProgId << kClassId << true;
        QTest::newRow("after a missing folder")
            << QStringList{missing, kPluginDir} << kProgId << kClassId << true;
        QTest::newRow("wrong class id")
            << QStringList{kPluginDir} << kProgId << "{9A86DF44-3A9B-4D56-9544-7EEC7E8C98B1}" << false;
        QTest::newRow("wrong program id")
            << QStringList{kPluginDir} << "Vornik.uVornik2" << kClassId << false;
        QTest::newRow("missing folder") << QStringList{missing} << kProgId << kClassId << false;
    }
    void container() {
        QFETCH(QStringList, path);
        QFETCH(QString, progId);
        QFETCH(QString, classId);
        QFETCH(bool, found);
        ControlContainer container(path);
        QWidget parent;
        QString error;
        QWidget* control = container.createControl(progId, classId, &parent, error);
        QCOMPARE(control != nullptr, found);
        if (found) {
            QVERIFY(error.isEmpty());
            QCOMPARE(control->parentWidget(), &parent);
            QCOMPARE(QString::fromLatin1(control->metaObject()->className()), QStringLiteral("uVornik"));
            QVERIFY(control->findChild<QLineEdit*>("txtSearchKey"));
        } else {
            QVERIFY2(error.contains(progId), qPrintable(error));
        }
    }

    void searchPathOverride() {
        qputenv("VORNIK_PLUGIN_PATH", "/a/b:/c");
        const QStringList path = ControlContainer::defaultSearchPath();
        qunsetenv("VORNIK_PLUGIN_PATH");
        QCOMPARE(path.mid(0, 2), QStringList({"/a/b", "/c"}));
        QCOMPARE(path.at(2), QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../plugins"));
    }

    // The host finds the library where the build puts it and where an installation (or an unpacked
    // package) puts it: <prefix>/bin/Test_Vornik with <prefix>/lib/<arch>/vornik/Vornik.so.
    void findsLibraryByLayout_data() {
        QTest::addColumn<QString>("host");    // the host's folder, relative to a fresh tree
        QTest::addColumn<QString>("library"); // the library's folder in that tree
        QTest::addColumn<bool>("found");
        const QString installed = QStringLiteral("usr/lib/" VORNIK_LIBRARY_ARCH "/vornik");
        QTest::newRow("build folder") << "build/host"
                                      << "build/plugins" << true;
        QTest::newRow("installed in /usr") << "usr/bin" << installed << true;
        QTest::newRow("installed in /usr/local")
            << "usr/local/bin" << QStringLiteral("usr/local/lib/" VORNIK_LIBRARY_ARCH "/vornik") << true;
        QTest::newRow("another program's folder") << "usr/bin"
                                                  << "usr/lib/" VORNIK_LIBRARY_ARCH "/other" << false;
    }
    void findsLibraryByLayout() {
        QFETCH(QString, host);
        QFETCH(QString, library);
        QFETCH(bool, found);
        QTemporaryDir tree;
        QVERIFY(QDir(tree.path()).mkpath(host) && QDir(tree.path()).mkpath(library));
        const QString copy = tree.filePath(library + QStringLiteral("/Vornik.so"));
        QVERIFY(QFile::copy(kPluginDir + QStringLiteral("/Vornik.so"), copy));
        qunsetenv("VORNIK_PLUGIN_PATH");
        const ControlContainer container(ControlContainer::defaultSearchPath(tree.filePath(host)));
        QCOMPARE(container.findLibrary(kProgId, kClassId), found ? copy : QString());
    }

    // The host reports a control it cannot create in a message box and keeps no control.
    void loadControlFails() {
        FakeMessageBoxes boxes;
        ScopedSeam boxesSeam(setMessageBoxes, &boxes);
        FrmMain form;
        ControlContainer container({QDir::tempPath() + "/vornik-no-such-folder"});
        const bool ok = form.loadControl(container);
        QVERIFY(!ok && !form.uVornik1);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.first().kind, QStringLiteral("critical"));
        QVERIFY(boxes.shown.first().text.contains(QStringLiteral("Vornik.uVornik")));
    }
};

QTEST_MAIN(TestHost)
#include "tst_host.moc"
