#include "forms/FrmAdd.h"

#include "database/ConnDatabase.h"
#include "database/Recordset.h"
#include "forms/FormSupport.h"
#include "ui/DialogAwait.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "util/Await.h"
#include "util/Clock.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>

#include <cmath>

#include <mysqld_error.h>

Co<> FrmAdd::showModal(QWidget* parent) {
    const QPointer<FrmAdd> form = instance();
    forms::adoptParent(form, parent);
    (void)co_await await::shownModal(form);
    if (form)
        unload();
}

FrmAdd::FrmAdd(QWidget* parent) : RecordForm(parent) {
    setObjectName(QStringLiteral("FrmAdd"));
    setWindowTitle(QStringLiteral("新增TXT"));
    setFixedSize(twipsToPixels(12615), twipsToPixels(6255));

    txtTitle = forms::lineBox(this, "txtTitle", 720, 120, 9735);
    RtbData = forms::bodyBox(this, 120, 600, 12375, 5535);
    CmdAddNew = forms::writeButton(this, "CmdAddNew", QStringLiteral("增加"), 10560, 120, 1815, 375);

    Label1 = designChild<QLabel>(this, "Label1", 120, 240, 615, 255, QStringLiteral("标题："));

    setTabOrder(txtTitle, RtbData);
    setTabOrder(RtbData, CmdAddNew);

    // Named for screen readers after the caption beside each box; the label reads its own text.
    Label1->setBuddy(txtTitle);
    txtTitle->setAccessibleName(QStringLiteral("标题"));
    RtbData->setAccessibleName(QStringLiteral("正文"));
    CmdAddNew->setAccessibleName(CmdAddNew->text());

    connect(CmdAddNew, &QPushButton::clicked, this, [this] { CmdAddNew_Click(); });

    Form_Load();
}

QString FrmAdd::newRecordId() {
    const QString stamp = appClock().now().toString(QStringLiteral("yyyyMMddHHmmss"));
    // Single precision, as the timer gives it; a reading above 86399.5 makes 86400.
    const float timer = static_cast<float>(appClock().secondsSinceMidnight());
    return stamp + QStringLiteral("%1").arg(std::lround(timer), 5, 10, QLatin1Char('0'));
}

bool FrmAdd::hasChanges() const {
    return !txtTitle->text().isEmpty() || !forms::plainText(RtbData->document()).isEmpty();
}

Co<> FrmAdd::write() {
    const QPointer<FrmAdd> self(this);
    const bool ready = co_await readyToWrite(txtTitle, RtbData);
    if (!ready || !self)
        co_return;

    setBusy(CmdAddNew, true);
    // Read once: the text the user asked to add is the text every try writes.
    const QString title = txtTitle->text();
    const QString body = forms::toStoredText(forms::plainText(RtbData->document()));
    const Status failed = co_await addRecord(title, body);
    if (!self)
        co_return;
    setBusy(CmdAddNew, false);

    if (!failed) {
        // The boxes keep the user's text so the add can be tried again.
        const QString text = QStringLiteral("Error:CmdAddNew_Click\r\n Err:") + failed.error().description;
        const QString title = QStringLiteral("增加数据");
        co_await messageBoxes().criticalBox(this, text, title);
        co_return;
    }
    txtTitle->clear();
    RtbData->clear();
    const QString text = QStringLiteral("增加成功！");
    co_await messageBoxes().informationBox(this, text);
}

namespace {

// Tries of an add whose id is taken: each waits for the next second, so a few seconds at most.
constexpr int kAddAttempts = 5;
// How long one try waits for the clock to reach a later second before the add gives up.
constexpr qint64 kNextSecondWaitMs = 1500;

// The id is unique to the second only, so another add of the same second (by anyone) takes it: the
// table's key refuses ours, or under Galera the cluster refuses the later commit as a conflict.
bool idTaken(const Status& s) {
    return !s && (s.error().nativeError == ER_DUP_ENTRY || s.error().nativeError == ER_LOCK_DEADLOCK);
}

// The id of a later second than `taken`'s, in the same format, once the clock gives one (the window
// live meanwhile); `taken` itself when the clock has not moved on in time, or the program is ending.
Co<QString> idAfter(QString taken) {
    using namespace std::chrono_literals;
    const qint64 deadline = appClock().monotonicMs() + kNextSecondWaitMs;
    QString next = FrmAdd::newRecordId();
    while (next == taken && appClock().monotonicMs() < deadline) {
        const bool alive = co_await await::sleep(QCoreApplication::instance(), 20ms);
        if (!alive)
            co_return taken;
        next = FrmAdd::newRecordId();
    }
    co_return next;
}

} // namespace

Co<Status> FrmAdd::addRecord(QString title, QString body) {
    QString id = newRecordId();
    for (int attempt = 1;; ++attempt) {
        Status s = co_await addOnce(id, title, body);
        if (!idTaken(s))
            co_return s;
        QString next = id;
        if (attempt < kAddAttempts)
            next = co_await idAfter(id);
        if (next == id) {
            s.error().description =
                QStringLiteral(
                    "记录编号 %1 已被同一秒内增加的另一条记录占用，已试 %2 次，请稍候再按“增加”。\r\n%3")
                    .arg(id)
                    .arg(attempt)
                    .arg(s.error().description);
            co_return s;
        }
        id = next;
    }
}

Co<Status> FrmAdd::addOnce(QString id, QString title, QString body) {
    QPointer<Connection> conn = co_await forms::openedConnection();
    if (!conn)
        co_return forms::noConnectionError();

    // Declared before the recordset so an uncommitted add is rolled back after it is released.
    forms::Transaction transaction(conn);
    Recordset rs;
    const QString noRows = QStringLiteral("select * from searchtxt_data where 1=0");
    const Status opened = co_await rs.open(noRows, SqlParams(), *conn);
    if (!opened)
        co_return opened;
    const Status begun = co_await transaction.begin();
    if (!begun)
        co_return begun;
    if (Status s = rs.AddNew(); !s)
        co_return s;

    // Columns in order; each time is read from the clock at its own assignment. desc, keys and
    // creator are empty texts, never NULL, so the modify form can load the row.
    const QString empty = QStringLiteral("");
    Status s = rs.setValue(QStringLiteral("dataid"), id);
    if (s)
        s = rs.setValue(QStringLiteral("name"), title);
    if (s)
        s = rs.setValue(QStringLiteral("data"), body);
    if (s)
        s = rs.setValue(QStringLiteral("createdatetime"), appClock().now());
    if (s)
        s = rs.setValue(QStringLiteral("modidatetime"), appClock().now());
    if (s)
        s = rs.setValue(QStringLiteral("desc"), empty);
    if (s)
        s = rs.setValue(QStringLiteral("keys"), empty);
    if (s)
        s = rs.setValue(QStringLiteral("creator"), empty);
    if (s)
        s = co_await rs.update();
    if (s)
        s = co_await forms::noWarnings(conn);
    if (s)
        s = co_await transaction.commit();
    co_return s;
}
