#include "Columns.h"
#include "ui/ProportionalLayout.h"
#include "ui/Twips.h"

#include <QtTest>
#include <QtWidgets>

template <class W> W* add(QWidget* parent, const char* name, int l = 0, int t = 0, int w = 0, int h = 0) {
    auto* widget = new W(parent);
    widget->setObjectName(name);
    setTwipsGeometry(widget, l, t, w, h);
    return widget;
}

// 800 x 400 px (12000 x 6000 twips), laid out like the search control.
struct Host {
    QWidget outer;
    QWidget* host = new QWidget(&outer);
    QLineEdit* search = add<QLineEdit>(host, "txtSearchKey", 120, 480, 11415, 375);
    QFrame* panel = add<QFrame>(host, "PicControlS", 1440, 1440, 9735, 3615);
    QPushButton* button = add<QPushButton>(panel, "CmdControl", 240, 2880, 1215, 375);
    QMenu* menu = add<QMenu>(host, "Menus", 0, 0, 1500, 1500);
    ProportionalLayout layout{host};
    explicit Host(QSize recorded = {800, 400}) {
        host->resize(recorded);
        layout.SaveControlsPos();
    }
    void resize(int w, int h) {
        host->resize(w, h);
        layout.ResizeControls();
    }
};

class TestLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rounding_data() {
        // pixels: twipsToPixels(value)
        columns<double, int, int>("value", "halfEven", "pixels");
        row("half to even", 472.5, 472, 32);
        row("half pixel away from zero", 37.5, 38, 3);
        row("negative", -999.0, -999, -67);
    }
    void rounding() {
        QFETCH(double, value);
        QFETCH(int, halfEven);
        QFETCH(int, pixels);
        QCOMPARE(roundHalfEven(value), halfEven);
        QCOMPARE(twipsToPixels(value), pixels);
    }

    void collectionSkipsInternalsAndWindows() {
        QWidget host;
        add<QComboBox>(&host, "cbo")->setEditable(true); // internal line edit
        add<QTabBar>(&host, "tabs");                     // holds "ScrollLeftButton"
        add<QTextEdit>(&host, "RTBox");                  // viewport, scroll bars
        add<QLabel>(new QWidget(&host), "lblInside");    // inside an unnamed container
        add<QLabel>(&host, "");
        add<QDialog>(&host, "dlgOther");
        add<QWidget>(&host, "qt_internal");
        ProportionalLayout layout(&host);
        layout.SaveControlsPos();
        QStringList names;
        for (QObject* o : layout.controls())
            names << o->objectName();
        QCOMPARE(names, QStringList({"cbo", "tabs", "RTBox", "lblInside"}));
    }

    // Every case records at `recorded`, then drags the panel (raising it, which reorders the
    // host's children), resizes the host to `via` and then `size`.
    void geometry_data() {
        columns<QSize, QSize, QSize, QString, QRect>("recorded", "via", "size", "name", "expected");
        const auto row = [](const char* tag, QSize size, const char* name, QRect expected,
                            QSize via = {800, 400}, QSize recorded = {800, 400}) {
            ::row(tag, recorded, via, size, QString(name), expected);
        };
        row("design size", {800, 400}, "txtSearchKey", {8, 32, 761, 25});
        row("dragged panel snaps back", {800, 400}, "PicControlS", {96, 96, 649, 241});
        row("double width", {1600, 400}, "txtSearchKey", {16, 32, 1522, 25});
        row("double width, container", {1600, 400}, "PicControlS", {192, 96, 1298, 241});
        row("double width, inside container", {1600, 400}, "CmdControl", {32, 192, 162, 25});
        row("half size, half pixels", {400, 200}, "txtSearchKey", {4, 16, 381, 13});
        row("zero height", {800, 0}, "CmdControl", {16, 0, 81, 0});
        row("zero width then back", {800, 400}, "CmdControl", {16, 192, 81, 25}, {0, 400});
        row("popup menu left alone", {1600, 800}, "Menus", {0, 0, 100, 100});
        row("recorded at zero width", {1600, 800}, "txtSearchKey", {8, 32, 761, 25}, {800, 400}, {0, 400});
        row("recorded at zero height", {1600, 800}, "txtSearchKey", {8, 32, 761, 25}, {800, 400}, {800, 0});
    }
    void geometry() {
        QFETCH(QSize, recorded);
        QFETCH(QSize, via);
        QFETCH(QSize, size);
        QFETCH(QString, name);
        QFETCH(QRect, expected);
        Host h(recorded);
        h.panel->setGeometry(5, 5, 50, 50);
        h.panel->raise();
        h.resize(via.width(), via.height());
        h.resize(size.width(), size.height());
        QCOMPARE(h.host->findChild<QWidget*>(name)->geometry(), expected);
    }

    void changedCollection() {
        Host h;
        delete h.search;                                                 // destroyed after recording
        auto* late = add<QLabel>(h.host, "lblLate", 150, 150, 300, 300); // created after recording
        h.resize(1600, 800);
        QCOMPARE(late->geometry(), QRect(10, 10, 20, 20));
        QCOMPARE(h.button->geometry(), QRect(32, 384, 162, 50));
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
