#include "Columns.h"
#include "FakeMessageBoxes.h"
#include "Seams.h"
#include "control/VornikInterface.h"
#include "control/uVornik.h"
#include "forms/FrmAdd.h"
#include "forms/FrmModi.h"
#include "host/ControlContainer.h"
#include "host/FrmMain.h"
#include "host/HostSizing.h"
#include "ui/MessageBoxes.h"
#include "util/WindowSettings.h"

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

namespace {

// Whether the line a box's frame draws at its right edge is there, as the window shows it: the last
// column of the box's pixels on the screen is not the colour of its inside.
bool rightFrameLine(QWidget* box) {
    const QImage shown = box->window()->grab().toImage();
    const qreal dpr = shown.devicePixelRatio();
    const QRect on(box->mapTo(box->window(), QPoint(0, 0)), box->size());
    const int y = int((on.y() + on.height() / 2) * dpr);
    const int last = int(std::ceil((on.x() + on.width()) * dpr)) - 1;
    if (qEnvironmentVariableIsSet("VORNIK_PLACEMENT_SHOTS"))
        shown.save(qEnvironmentVariable("VORNIK_PLACEMENT_SHOTS") + u'/' + box->objectName() +
                   QStringLiteral(".png"));
    // The box's last column, wherever rounding put it: one of the last device pixels is neither the
    // inside's colour nor the window's just beyond.
    const QColor inside = shown.pixelColor(int((on.x() + on.width() / 2) * dpr), y);
    const QColor beyond = shown.pixelColor(last + 2, y);
    for (int x = last + 1; x >= last - 2; --x)
        if (shown.pixelColor(x, y) != inside && shown.pixelColor(x, y) != beyond)
            return true;
    return false;
}

// How `w` lies on its screen's free area: "" when wholly on it and, where its design size fits,
// centred as designed (`third`: a third of the free height from the top, else half), else why not.
QString placement(const QWidget* w, bool fits, bool third) {
    const QRect frame = w->frameGeometry(), area = w->screen()->availableGeometry();
    const QRect screen = w->screen()->geometry();
    const int top = screen.y() + (screen.height() - frame.height()) / (third ? 3 : 2);
    if (!area.contains(frame))
        return QStringLiteral("off the free area");
    if (fits && (qAbs(frame.center().x() - screen.center().x()) > 1 || qAbs(frame.y() - top) > 1))
        return QStringLiteral("not centred");
    return {};
}

// The child of placementAtEachScale: the host with its control, the two forms and the control panel at
// the scale and on the screen it was started with. Prints a line of what is amiss (none when all is
// well) and "done".
int placementChild() {
    FrmMain form;
    auto* control = new uVornik;
    form.setControl(control);
    form.Form_Load();
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        return 2;
    QTest::qWait(50);
    const QSize design(FrmMain::kDesignClientWidth / 15, FrmMain::kDesignClientHeight / 15);
    const QSize free = form.screen()->availableGeometry().size();
    QStringList amiss;
    const auto check = [&](const QString& what, const QString& why) {
        if (!why.isEmpty())
            amiss << what + u' ' + why;
    };
    check(QStringLiteral("window"),
          placement(&form, design.width() < free.width() && design.height() < free.height() - 40, false));
    control->Label1_Click();
    const QRect panel(control->PicControlS->mapTo(&form, QPoint(0, 0)), control->PicControlS->size());
    check(QStringLiteral("设置"), form.rect().contains(panel) ? QString() : QStringLiteral("clipped"));
    control->CmdControl_Click(99);
    for (const QSize& size : {QSize(free.width() * 2 / 3, free.height() * 2 / 3), free * 9 / 10}) {
        form.resize(size - (form.frameGeometry().size() - form.size()));
        QTest::qWait(20);
        for (QWidget* box : {static_cast<QWidget*>(control->RTBox), static_cast<QWidget*>(control->List1)})
            check(box->objectName(),
                  rightFrameLine(box) ? QString() : QStringLiteral("has lost its right frame line"));
    }
    for (forms::RecordForm* f : std::initializer_list<forms::RecordForm*>{new FrmAdd, new FrmModi}) {
        const bool fits = f->width() < free.width() && f->height() < free.height() - 40;
        f->show();
        const bool shown = QTest::qWaitForWindowExposed(f);
        QTest::qWait(20);
        check(f->objectName(), shown ? placement(f, fits, true) : QStringLiteral("not shown"));
        delete f;
    }
    for (const QString& line : amiss)
        std::printf("%s\n", qPrintable(line));
    std::printf("done\n");
    return 0;
}

} // namespace

class TestHost : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void outerSizeRule_data() {
        // outer: twips
        columns<QSize, OptRect>("outer", "control");
        row("fits", QSize(10000, 8000), OptRect(QRect(50, 50, 9900, 7300)));
        row("width exactly 100", QSize(100, 8000), OptRect());
        row("height exactly 700", QSize(10000, 700), OptRect());
        row("height 701", QSize(10000, 701), OptRect(QRect(50, 50, 9900, 1)));
    }
    void outerSizeRule() {
        QFETCH(QSize, outer);
        QFETCH(OptRect, control);
        QCOMPARE(controlRectForOuterSize(outer.width(), outer.height()), control);
    }

    // The window fits its control at each size change; a size too small for the margins leaves it
    // where it was, and the next size that is large enough fits it again.
    void windowFitsControl_data() {
        // sizes: outer sizes in pixels, applied in order
        // control: pixels, after the last
        columns<QList<QSize>, QRect>("sizes", "control");
        // 700 x 500 px = 10500 x 7500 twips: 50, 50, 10400, 6800 twips.
        const QRect fitted(3, 3, 693, 453);
        row("design size", QList<QSize>{{1130, 639}}, QRect(3, 3, 1123, 592));
        row("fits", QList<QSize>{{700, 500}}, fitted);
        row("too narrow keeps it", QList<QSize>{{700, 500}, {6, 500}}, fitted);
        row("grows again", QList<QSize>{{700, 500}, {5, 5}, {900, 600}}, QRect(3, 3, 893, 553));
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
        // client: pixels
        columns<QSize, bool>("client", "beforeShow");
        // Sizes that fit the offscreen screen (800 x 800): it pushes windows that reach past its
        // left or top edge back in, which a desktop does not.
        row("before showing", QSize(640, 480), true);
        row("while shown", QSize(640, 480), false);
        row("odd size, before showing", QSize(401, 301), true);
        row("odd size, while shown", QSize(401, 301), false);
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
        columns<QStringList, QString, QString, bool>("path", "progId", "classId", "found");
        const QString missing = QDir::tempPath() + QStringLiteral("/vornik-no-such-folder");
        row("by program id", QStringList{kPluginDir}, kProgId, kClassId, true);
        row("after a missing folder", QStringList{missing, kPluginDir}, kProgId, kClassId, true);
        row("wrong class id", QStringList{kPluginDir}, kProgId, "{9A86DF44-3A9B-4D56-9544-7EEC7E8C98B1}",
            false);
        row("wrong program id", QStringList{kPluginDir}, "Vornik.uVornik2", kClassId, false);
        row("missing folder", QStringList{missing}, kProgId, kClassId, false);
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
        // host: the host's folder, relative to a fresh tree
        // library: the library's folder in that tree
        columns<QString, QString, bool>("host", "library", "found");
        const QString installed = QStringLiteral("usr/lib/" VORNIK_LIBRARY_ARCH "/vornik");
        row("build folder", "build/host", "build/plugins", true);
        row("installed in /usr", "usr/bin", installed, true);
        row("installed in /usr/local", "usr/local/bin",
            QStringLiteral("usr/local/lib/" VORNIK_LIBRARY_ARCH "/vornik"), true);
        row("another program's folder", "usr/bin", "usr/lib/" VORNIK_LIBRARY_ARCH "/other", false);
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

    // On a 1600 x 1000 screen at each scale the window, its control panel and the forms fit the free
    // area, frame and title bar included, and are centred as designed where they fit; the record box
    // and the list keep their right frame line after a resize.
    void placementAtEachScale_data() {
        columns<QString>("scale");
        for (const char* scale : {"1", "1.25", "1.5", "2"})
            row(scale, scale);
    }
    void placementAtEachScale() {
        QFETCH(QString, scale);
        QTemporaryDir dir;
        QFile screen(dir.filePath(QStringLiteral("screen.json")));
        QVERIFY(screen.open(QIODevice::WriteOnly) &&
                screen.write(
                    R"({"screens": [{"name": "s", "x": 0, "y": 0, "width": 1600, "height": 1000}]})") > 0);
        screen.close();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"),
                   QStringLiteral("offscreen:configfile=") + screen.fileName());
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), scale);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--placement")});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(), QStringLiteral("done"));
    }

    // The window's place and size are kept in window.conf when it closes, and taken at the next start.
    void placeKeptBetweenStarts() {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QRect kept;
        {
            FrmMain form;
            QVERIFY(!form.restorePlace());
            form.resize(500, 300);
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            form.move(40, 60);
            QTRY_COMPARE(form.pos(), QPoint(40, 60));
            kept = form.geometry();
            form.close();
        }
        FrmMain next;
        QVERIFY(next.restorePlace());
        next.show();
        QVERIFY(QTest::qWaitForWindowExposed(&next));
        QTRY_COMPARE(next.geometry(), kept);
        qunsetenv("XDG_CONFIG_HOME");
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

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--placement") == 0)
        return placementChild();
    TestHost test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_host.moc"
