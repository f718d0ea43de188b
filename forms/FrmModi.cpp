#include "forms/FrmModi.h"

#include "database/ConnDatabase.h"
#include "database/Recordset.h"
#include "forms/FormSupport.h"
#include "ui/DialogAwait.h"
#include "ui/LargeTextView.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "util/Clock.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>

#include <array>
#include <optional>
#include <utility>

#include <mysqld_error.h>

namespace {

// The columns in the order they are loaded; the same order is kept for the lost-update check.
constexpr std::array<const char*, 8> kColumns = {"dataid",       "name", "Data",    "CreateDatetime",
                                                 "ModiDateTime", "Desc", "Creator", "Keys"};

Error failure(const QString& description) {
    return Error{Error::kProviderError, description, 0};
}

// The date-time boxes show "yyyy-MM-dd hh:mm:ss". Read back as a date and a time of day, without a
// time zone, so a daylight-saving gap cannot shift the value. An empty box (a NULL as loaded) stays
// NULL.
std::optional<QVariant> normalisedDateTime(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty())
        return QVariant();
    if (t.size() != 19 || t.at(10) != u' ')
        return std::nullopt;
    const QDate date = QDate::fromString(t.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(t.mid(11), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return date.toString(QStringLiteral("yyyy-MM-dd")) + u' ' + time.toString(QStringLiteral("HH:mm:ss"));
}

// Under Galera a save that met another node's write of the same record is refused at commit (a
// deadlock to the client): nothing was written, and a reload shows the other write.
Error explained(Error e, const QString& id) {
    if (e.nativeError == ER_LOCK_DEADLOCK)
        e.description =
            QStringLiteral("与其他用户同时对记录 %1 的写入冲突，本次修改已撤销；您的编辑仍留在窗口中，"
                           "请复制需要保留的内容，关闭窗口后重新打开该记录再修改。")
                .arg(id) +
            e.description;
    return e;
}

} // namespace

Co<ModifyOutcome> FrmModi::showModal(QString id, QWidget* parent) {
    const QPointer<FrmModi> form = instance();
    forms::adoptParent(form, parent);
    const bool loaded = co_await form->setDataid(id);
    if (!loaded || !form)
        co_return ModifyOutcome::NotShown;
    // A save ends the show as accepted (and unloads the form); the user's close as rejected.
    const std::optional<int> result = co_await await::shownModal(form);
    if (form)
        unload();
    co_return result == QDialog::Accepted ? ModifyOutcome::Saved : ModifyOutcome::Closed;
}

FrmModi::FrmModi(QWidget* parent) : RecordForm(parent) {
    setObjectName(QStringLiteral("FrmModi"));
    setWindowTitle(QStringLiteral("修改Txt"));
    setFixedSize(twipsToPixels(12600), twipsToPixels(7500));

    txtTitle = forms::lineBox(this, "txtTitle", 1080, 120, 9375, false);
    TxtDataid = forms::lineBox(this, "TxtDataid", 1080, 600, 4095, true);
    TxtCreator = forms::lineBox(this, "TxtCreator", 6360, 600, 4095, true);
    TxtCreateDatetime = forms::lineBox(this, "TxtCreateDatetime", 1080, 1080, 4095, true);
    TxtModiDateTime = forms::lineBox(this, "TxtModiDateTime", 6360, 1080, 4095, true);
    TxtKeys = forms::lineBox(this, "TxtKeys", 1080, 1560, 9375, false);

    TxtDesc = designChild<QPlainTextEdit>(this, "TxtDesc", 1080, 2040, 11295, 735);
    TxtDesc->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    TxtDesc->setTabChangesFocus(true); // a text box: Tab moves on

    RtbData = forms::bodyBox(this, 120, 3000, 12255, 4215);
    bodyLarge_ = new LargeTextView(RtbData);
    CmdSave = forms::writeButton(this, "CmdSave", QStringLiteral("保存并关闭"), 10560, 240, 1815, 1455);

    Label1 = designChild<QLabel>(this, "Label1", 120, 240, 975, 255, QStringLiteral("标    题："));
    Label2 = designChild<QLabel>(this, "Label2", 120, 720, 975, 255, QStringLiteral("DataID  ："));
    Label3 = designChild<QLabel>(this, "Label3", 120, 1200, 975, 255, QStringLiteral("创建时间："));
    Label4 = designChild<QLabel>(this, "Label4", 5400, 1200, 975, 255, QStringLiteral("修改时间："));
    Label5 = designChild<QLabel>(this, "Label5", 120, 2280, 975, 255, QStringLiteral("备    注："));
    Label6 = designChild<QLabel>(this, "Label6", 5400, 720, 975, 255, QStringLiteral("创建者："));
    Label7 = designChild<QLabel>(this, "Label7", 120, 2760, 975, 255, QStringLiteral("正文："));
    Label8 = designChild<QLabel>(this, "Label8", 120, 1680, 975, 255, QStringLiteral("关 键 字："));

    // Named for screen readers after the label beside each box (without its padding blanks and
    // colon); each label reads its own text and is tied to its box.
    const std::pair<QLabel*, QWidget*> labelled[] = {
        {Label1, txtTitle}, {Label2, TxtDataid},  {Label3, TxtCreateDatetime}, {Label4, TxtModiDateTime},
        {Label5, TxtDesc},  {Label6, TxtCreator}, {Label7, RtbData},           {Label8, TxtKeys}};
    for (const auto& [caption, box] : labelled) {
        caption->setBuddy(box);
        box->setAccessibleName(caption->text().remove(u' ').remove(u'：'));
    }
    CmdSave->setAccessibleName(CmdSave->text());

    QWidget* const order[] = {txtTitle, TxtDataid, TxtCreator, TxtCreateDatetime, TxtModiDateTime, TxtKeys,
                              TxtDesc,  RtbData,   CmdSave};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(CmdSave, &QPushButton::clicked, this, [this] { CmdSave_Click(); });

    Form_Load();
}

QWidget* FrmModi::messageParent() {
    return isVisible() ? this : parentWidget();
}

void FrmModi::unloadForm() {
    if (isVisible())
        done(QDialog::Accepted); // ends the opener's modal show
    unload();
}

Co<bool> FrmModi::setDataid(QString id) {
    const QPointer<FrmModi> self(this);
    dataid_ = id;
    const Result<bool> found = co_await LoadRecord(id);
    if (!self)
        co_return false;
    if (!found) {
        // The opener has no error path of its own: say here which record failed and why.
        const QString text = QStringLiteral("无法读取记录 %1：\r\n%2").arg(id, found.error().description);
        const QString title = QStringLiteral("修改数据");
        co_await messageBoxes().criticalBox(messageParent(), text, title);
        if (self)
            unloadForm();
        co_return false;
    }
    co_return found.value();
}

Co<Result<bool>> FrmModi::LoadRecord(QString id) {
    const QPointer<FrmModi> self(this);
    loaded_.clear();
    const QPointer<Connection> conn = co_await forms::openedConnection();
    if (!self)
        co_return false;
    if (!conn)
        co_return forms::noConnectionError();
    // A recordset of the form's own: no statement of the control's, run while the load waits, reopens it.
    const auto rs = std::make_shared<Recordset>();
    const QString select = QStringLiteral("select * from searchtxt_data where dataid=?");
    const SqlParams byId{id}; // bound before the wait: GCC cannot keep a braced list across it
    const Status read = co_await rs->open(select, byId, *conn);
    if (!read)
        co_return read.error();
    if (!self)
        co_return false;
    if (rs->RecordCount() < 1) {
        const QString text = QStringLiteral("未找到 相关信息！Error:");
        co_await messageBoxes().informationBox(messageParent(), text);
        if (self)
            unloadForm();
        co_return false;
    }
    showRecord(*rs);
    co_return true;
}

void FrmModi::showRecord(const Recordset& row) {
    const Recordset* const rs = &row;
    // A NULL (as another tool may store) reads as empty text, so the record can still be edited.
    // The body is kept as the recordset's column, shared rather than copied (it may hold 16 MB).
    QStringList values;
    for (const char* column : kColumns)
        values << (column == kColumns[2]
                       ? QString()
                       : rs->textAt(0, rs->fieldIndex(QString::fromLatin1(column))).value_or(QString()));
    loadedBody_ = rs->column(rs->fieldIndex(QString::fromLatin1(kColumns[2])));
    TxtDataid->setText(values[0]);
    txtTitle->setText(values[1]);
    showBody(loadedBody_);
    TxtCreateDatetime->setText(values[3]);
    TxtModiDateTime->setText(values[4]);
    TxtDesc->setPlainText(forms::toShownText(values[5]));
    TxtCreator->setText(values[6]);
    TxtKeys->setText(values[7]);
    loaded_ = values;
    saved_ = false;
    shownAtLoad_ = editableTexts();
}

void FrmModi::showBody(const TextColumn& stored) {
    bodyTooLarge_ = LargeTextView::needed(stored.view(0));
    setWindowTitle(bodyTooLarge_ ? QStringLiteral("修改Txt（正文过大，只可查看；其余各项可以修改）")
                                 : QStringLiteral("修改Txt"));
    if (bodyTooLarge_) {
        bodyLarge_->showText(stored, 0);
        return;
    }
    bodyLarge_->hideText();
    RtbData->setPlainText(forms::toShownText(stored.at(0)));
}

QStringList FrmModi::editableTexts() const {
    return {txtTitle->text(), TxtKeys->text(), forms::plainText(TxtDesc->document()),
            bodyTooLarge_ ? QString() : forms::plainText(RtbData->document())};
}

bool FrmModi::hasChanges() const {
    return !loaded_.isEmpty() && editableTexts() != shownAtLoad_;
}

void FrmModi::clearBoxes() {
    bodyLarge_->hideText();
    loaded_.clear();
    loadedBody_.clear();
    TxtDataid->clear();
    txtTitle->clear();
    RtbData->clear();
    TxtCreateDatetime->clear();
    TxtModiDateTime->clear();
    TxtDesc->clear();
    TxtCreator->clear();
    TxtKeys->clear();
}

Co<> FrmModi::saveAs(bool restoring) {
    const QPointer<FrmModi> self(this);
    const bool ready = co_await readyToWrite(txtTitle, RtbData);
    if (!ready || !self)
        co_return;
    Error error;
    std::optional<QVariantList> values = editedRow(error);
    if (!values) {
        const SaveOutcome unreadable{Saved::Failed, error};
        co_await report(unreadable, restoring);
        co_return;
    }
    setBusy(CmdSave, true);
    Edit edit{dataid_, std::move(*values), loaded_, loadedBody_};
    const SaveOutcome outcome = co_await saveRecord(std::move(edit), restoring);
    if (!self)
        co_return;
    setBusy(CmdSave, false);
    co_await report(outcome, restoring);
}

Co<> FrmModi::report(SaveOutcome outcome, bool restoring) {
    const QPointer<FrmModi> self(this);
    switch (outcome.saved) {
    case Saved::Done: {
        saved_ = true;
        clearBoxes();
        const QString text = QStringLiteral("修改成功！");
        co_await messageBoxes().informationBox(this, text);
        if (self)
            unloadForm();
        co_return;
    }
    case Saved::RowGone:
        co_await offerRestore();
        co_return;
    case Saved::ChangedByOthers: {
        // Nothing written; the edits stay in the form so the user can keep what matters.
        const QString text =
            (restoring
                 ? QStringLiteral(
                       "记录 %1 删除之后已被其他用户重新保存，本次修改没有保存，以免覆盖对方的记录。\r\n")
                 : QStringLiteral(
                       "记录 %1 在打开之后已被其他用户修改，本次修改没有保存，以免覆盖对方的修改。\r\n"))
                .arg(dataid_) +
            QStringLiteral("您的编辑仍留在窗口中：请复制需要保留的内容，关闭窗口后重新打开该记录再修改。");
        const QString title = QStringLiteral("修改数据");
        co_await messageBoxes().criticalBox(this, text, title);
        co_return;
    }
    case Saved::Failed: {
        const QString text =
            QStringLiteral("Error:CmdSave_Click，修改没有保存\r\n Err:") + outcome.error.description;
        const QString title = QStringLiteral("修改数据");
        co_await messageBoxes().criticalBox(this, text, title);
        co_return;
    }
    }
}

Co<> FrmModi::offerRestore() {
    const QPointer<FrmModi> self(this);
    // The edits stay in the form whatever the answer.
    const QString text =
        QStringLiteral("修改没有保存：记录 %1 在您打开之后已被其他用户删除。\r\n您的编辑仍留在窗口中。\r\n"
                       "按“确定”以原编号 %1 重新保存您编辑的内容；按“取消”回到窗口。")
            .arg(dataid_);
    const QString title = QStringLiteral("修改数据");
    const MessageBoxes::Answer answer = co_await messageBoxes().questionBox(this, text, title);
    if (self && answer == MessageBoxes::Answer::Ok)
        co_await saveAs(true);
}

std::optional<QVariantList> FrmModi::editedRow(Error& error) const {
    const QString createText = TxtCreateDatetime->text();
    const std::optional<QVariant> created = normalisedDateTime(createText);
    if (!created) {
        error = failure(QStringLiteral("创建时间“%1”不是有效的日期时间").arg(createText));
        return std::nullopt;
    }
    // The record's last change is this save.
    const QString modified = appClock().now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString body =
        bodyTooLarge_ ? loadedBody_.at(0) : forms::toStoredText(forms::plainText(RtbData->document()));
    return QVariantList{
        dataid_,         txtTitle->text(),  body,
        *created,        modified,          forms::toStoredText(forms::plainText(TxtDesc->document())),
        TxtKeys->text(), TxtCreator->text()};
}

bool FrmModi::rowAsLoaded(const Recordset& rs, const Edit& edit) {
    if (edit.loaded.size() != static_cast<qsizetype>(kColumns.size()))
        return false;
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        const int field = rs.fieldIndex(QString::fromLatin1(kColumns[i]));
        if (field < 0)
            return false;
        const bool same =
            i == 2 ? rs.column(field).view(0) == edit.loadedBody.view(0)
                   : rs.textAt(0, field).value_or(QString()) == edit.loaded.at(static_cast<qsizetype>(i));
        if (!same)
            return false;
    }
    return true;
}

Co<FrmModi::SaveOutcome> FrmModi::saveRecord(Edit edit, bool restoring) {
    const auto fail = [&edit](Error e) {
        return SaveOutcome{Saved::Failed, explained(std::move(e), edit.id)};
    };
    const QString id = edit.id;

    QPointer<Connection> conn = co_await forms::openedConnection();
    if (!conn)
        co_return fail(forms::noConnectionError());

    // Declared before the recordset: whatever fails below is rolled back, so a failed insert never
    // leaves the row deleted.
    forms::Transaction transaction(conn);
    const Status begun = co_await transaction.begin();
    if (!begun)
        co_return fail(begun.error());

    // A locking read inside the transaction: the row is checked against what was loaded (or, when it
    // is stored again, found still missing), and nobody can change, delete or store it between this
    // check and the write.
    Recordset rs;
    if (!conn)
        co_return fail(forms::noConnectionError());
    const QString lockingRead = QStringLiteral("select * from searchtxt_data where dataid=? for update");
    const SqlParams byId{id}; // bound before the wait: GCC cannot keep a braced list across it
    const Status read = co_await rs.open(lockingRead, byId, *conn);
    if (!read)
        co_return fail(read.error());
    if (restoring && rs.RecordCount() > 0)
        co_return SaveOutcome{Saved::ChangedByOthers, {}};
    if (!restoring && rs.RecordCount() < 1)
        co_return SaveOutcome{Saved::RowGone, {}};
    if (!restoring && !rowAsLoaded(rs, edit))
        co_return SaveOutcome{Saved::ChangedByOthers, {}};

    if (!conn)
        co_return fail(forms::noConnectionError());
    if (!restoring) {
        const QString remove = QStringLiteral("delete from searchtxt_data where dataid=?");
        const Result<quint64> removed = co_await conn->execute(remove, byId);
        if (!removed)
            co_return fail(removed.error());
    }
    const QString insert = QStringLiteral(
        "insert into `searchtxt_data`  (`dataid`, `name` , `data`,`createdatetime`,`modidatetime`,"
        "`desc`,`keys`,`creator`)  Values(?,?,?,?,?,?,?,?)");
    if (!conn)
        co_return fail(forms::noConnectionError());
    const SqlParams values = edit.values;
    const Result<quint64> inserted = co_await conn->execute(insert, values);
    if (!inserted)
        co_return fail(inserted.error());
    const Status clean = co_await forms::noWarnings(conn);
    if (!clean)
        co_return fail(clean.error());
    const Status committed = co_await transaction.commit();
    if (!committed)
        co_return fail(committed.error());
    co_return SaveOutcome{Saved::Done, {}};
}
