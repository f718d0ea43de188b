#pragma once
// A new control at its design size (with a result of its own), and what a test reads off a control:
// its status message, every status written, the listed titles.
#include "Sync.h"
#include "control/ListBox.h"
#include "control/uVornik.h"
#include "database/Session.h"
#include "util/WindowSettings.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTest>

#include <memory>

// A test that changed the search mode or the splitter leaves no window.conf to the tests after it.
struct WindowStateLeftBehind {
    ~WindowStateLeftBehind() { QFile::remove(windowSettingsPath()); }
};
inline WindowStateLeftBehind windowStateLeftBehind;

inline std::unique_ptr<uVornik> freshControl() {
    // Nor a search mode or a splitter an earlier test left.
    QFile::remove(windowSettingsPath());
    auto control = std::make_unique<uVornik>();
    control->resize(853, 437);
    return control;
}

// The status line's message, without the time ("yyyy-MM-dd hh:mm:ss ") it starts with.
inline QString statusText(const uVornik& control) {
    return control.TxtTS->text().mid(20);
}

// Every status message written to a control since it was attached, in order: what a user would have
// seen go by on the status line.
class StatusLog : public QStringList {
public:
    StatusLog() = default;
    StatusLog(const StatusLog&) = delete;
    StatusLog& operator=(const StatusLog&) = delete;
    ~StatusLog() { QObject::disconnect(hook_); }

    void attach(const uVornik& control) {
        QObject::disconnect(hook_);
        clear();
        hook_ = QObject::connect(control.TxtTS, &QLineEdit::textChanged,
                                 [this](const QString& text) { append(text.mid(20)); });
    }

private:
    QMetaObject::Connection hook_;
};

// A fresh control, shown, whose status messages go to `statuses`.
inline std::unique_ptr<uVornik> shownControl(StatusLog& statuses) {
    auto control = freshControl();
    control->show();
    statuses.attach(*control);
    return control;
}

// A search as the user starts it: the mode ticked or not, the key typed, Enter; then until it has ended.
inline void search(uVornik& control, bool titlesOnly, const QString& key) {
    control.ChkControl[0]->setChecked(titlesOnly);
    control.txtSearchKey->setText(key);
    QTest::keyClick(control.txtSearchKey, Qt::Key_Return);
    QVERIFY(handlersDone());
}

inline QStringList listedTitles(const uVornik& control) {
    QStringList out;
    for (int i = 0; i < control.List1->count(); ++i)
        out << control.List1->text(i);
    return out;
}
