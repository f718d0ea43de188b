#include "forms/FrmAdd.h"

#include "database/ConnDatabase.h"
#include "database/Recordset.h"
#include "database/Session.h"
#include "forms/FormSupport.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "util/Clock.h"

#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

#include <cmath>

#include <mysqld_error.h>

void FrmAdd::showModal(QWidget* parent) {
    const Use form;
    forms::adoptParent(form.get(), parent);
    form->exec();
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

    connect(CmdAddNew, &QPushButton::clicked, this, &FrmAdd::CmdAddNew_Click);

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

void FrmAdd::CmdAddNew_Click() {
    if (!readyToWrite(txtTitle, RtbData))
        return;

    Status failed;
    if (!whileBusy(CmdAddNew, [&] { failed = addRecord(); }))
        return;

    if (!failed) {
        // The boxes keep the user's text so the add can be tried again.
        messageBoxes().critical(this,
                                QStringLiteral("Error:CmdAddNew_Click\r\n Err:") + failed.error().description,
                                QStringLiteral("增加数据"));
        return;
    }
    txtTitle->clear();
    RtbData->clear();
    messageBoxes().information(this, QStringLiteral("增加成功！"));
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
// live meanwhile); `taken` itself when the clock has not moved on in time.
QString idAfter(const QString& taken) {
    const qint64 deadline = appClock().monotonicMs() + kNextSecondWaitMs;
    QString next = FrmAdd::newRecordId();
    while (next == taken && appClock().monotonicMs() < deadline) {
        QEventLoop wait;
        QTimer::singleShot(20, &wait, &QEventLoop::quit);
        wait.exec();
        next = FrmAdd::newRecordId();
    }
    return next;
}

} // namespace

Status FrmAdd::addRecord() {
    // Read once: the text the user asked to add is the text every try writes.
    const QString title = txtTitle->text();
    const QString body = forms::toStoredText(forms::plainText(RtbData->document()));
    QString id = newRecordId();
    for (int attempt = 1;; ++attempt) {
        Status s = addOnce(id, title, body);
        if (!idTaken(s))
            return s;
        const QString next = attempt < kAddAttempts ? idAfter(id) : id;
        if (next == id) {
            s.error().description =
                QStringLiteral(
                    "记录编号 %1 已被同一秒内增加的另一条记录占用，已试 %2 次，请稍候再按“增加”。\r\n%3")
                    .arg(id)
                    .arg(attempt)
                    .arg(s.error().description);
            return s;
        }
        id = next;
    }
}

Status FrmAdd::addOnce(const QString& id, const QString& title, const QString& body) {
    // A connection that failed to open shows up as the failure of the next step.
    (void)sharedSession().openIfNeededNow();
    QPointer<Connection> conn = sharedSession().connection();

    // Declared before the recordset so an uncommitted add is rolled back after it is released.
    forms::Transaction transaction(conn);
    Recordset rs;
    if (Status s = rs.Open(QStringLiteral("select * from searchtxt_data where 1=0"), conn); !s)
        return s;
    if (Status s = transaction.begin(); !s)
        return s;
    if (Status s = rs.AddNew(); !s)
        return s;

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
        s = rs.Update();
    if (s)
        s = forms::noWarnings(conn);
    if (s)
        s = transaction.commit();
    return s;
}
