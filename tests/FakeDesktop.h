#pragma once
// Records what would have been opened or started instead of doing it; answers with `succeed`.
#include "forms/FormOpener.h"
#include "ui/Desktop.h"

#include <QList>

#include <QStringList>
#include <QUrl>
#include <functional>

class FakeDesktop : public Desktop {
public:
    QList<QUrl> opened;
    QStringList started;
    bool succeed = true;

    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return succeed;
    }
    bool startDetached(const QString& program) override {
        started.append(program);
        return succeed;
    }
};

// Records which form would have been shown, with the parent it was given.
class FakeFormOpener : public FormOpener {
public:
    struct Shown {
        QString form; // "add" or "modify"
        QString id;
        QWidget* parent;
    };
    QList<Shown> shown;
    ModifyOutcome modified = ModifyOutcome::Closed;
    std::function<void()> whileShown; // what the user does in the form (a save, say)

    Co<> showAdd(QWidget* parent) override {
        shown.append({QStringLiteral("add"), QString(), parent});
        co_return;
    }
    Co<ModifyOutcome> showModify(QString id, QWidget* parent) override {
        shown.append({QStringLiteral("modify"), id, parent});
        if (whileShown)
            whileShown();
        co_return modified;
    }
};
