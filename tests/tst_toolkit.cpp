// The coroutine toolkit's promises about lifetime: every wait resumes exactly once, also when what it
// waits on goes away first, and the nested wait kept for synchronous callers survives the application
// being told to quit meanwhile.
#include "Columns.h"
#include "ui/DialogAwait.h"
#include "util/Await.h"
#include "util/Handlers.h"
#include "util/Nested.h"

#include <QtTest>

namespace {

Co<> sleepIn(QObject* context, std::optional<bool>* alive) {
    alive->emplace(co_await await::sleep(context, std::chrono::milliseconds(50)));
}

Co<int> slowSeven(QObject* context, bool* ended) {
    const bool alive = co_await await::sleep(context, std::chrono::milliseconds(50));
    *ended = true;
    co_return alive ? 7 : -1;
}

Co<> dialogAnswer(QDialog* dialog, std::optional<std::optional<int>>* got) {
    got->emplace(co_await await::shownModal(dialog));
}

} // namespace

class TestToolkit : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { QTRY_COMPARE(Handlers::runningEverywhere(), 0); }

    // A wait for the clock that ends early, inside the destruction, when its context goes.
    void sleepWithContext_data() {
        columns<bool>("contextGoes");
        row("time passes", false);
        row("context destroyed", true);
    }
    void sleepWithContext() {
        QFETCH(bool, contextGoes);
        auto context = std::make_unique<QObject>();
        std::optional<bool> alive;
        Handlers handlers;
        handlers.start(sleepIn(context.get(), &alive));
        QVERIFY(!alive);
        if (contextGoes) {
            context.reset();
            QCOMPARE(alive, std::optional<bool>(false));
        }
        QTRY_VERIFY(alive.has_value());
        QCOMPARE(*alive, !contextGoes);
    }

    // A dialog deleted unanswered resumes its waiter with nothing at once; one finished and deleted in the
    // same turn (before the posted resume) keeps its answer.
    void dialogEnds_data() {
        columns<bool>("finishFirst");
        row("deleted unanswered", false);
        row("finished, then deleted at once", true);
    }
    void dialogEnds() {
        QFETCH(bool, finishFirst);
        auto* dialog = new QDialog;
        std::optional<std::optional<int>> got;
        Handlers handlers;
        handlers.start(dialogAnswer(dialog, &got));
        QVERIFY(dialog->isModal());
        QVERIFY(!got);
        if (finishFirst)
            dialog->done(QDialog::Accepted);
        delete dialog;
        QTRY_VERIFY(got.has_value());
        QCOMPARE(*got, finishFirst ? std::optional<int>(QDialog::Accepted) : std::nullopt);
    }

    // Nothing when the application is told to quit before the task ends (every loop ends then); the
    // task finishes later and writes only into the state it shares with the wait.
    void waitNested_data() {
        columns<bool>("quits");
        row("task ends", false);
        row("application quits meanwhile", true);
    }
    void waitNested() {
        QFETCH(bool, quits);
        QObject context;
        bool ended = false;
        std::optional<std::optional<int>> got;
        QTimer::singleShot(0, this, [&] { got = ::waitNested(slowSeven(&context, &ended)); });
        QTimer::singleShot(quits ? 10 : 300, qApp, &QCoreApplication::quit);
        qApp->exec();
        QVERIFY(got.has_value());
        QCOMPARE(*got, quits ? std::nullopt : std::optional<int>(7));
        QTRY_VERIFY(ended);
    }
};

QTEST_MAIN(TestToolkit)
#include "tst_toolkit.moc"
