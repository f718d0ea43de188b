#include "forms/FrmModi.h"

#include "database/ConnDatabase.h"
#include "database/Recordset.h"
#include "database/Session.h"
#include "forms/FormSupport.h"
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

ModifyOutcome FrmModi::showModal(const QString& id, QWidget* parent) {
    const Use form;
    forms::adoptParent(form.get(), parent);
    if (!form->setDataid(id))
        return ModifyOutcome::NotShown;
    form->exec();
    unload(); // closed by the user; a save has unloaded it already
    return form->saved() ? ModifyOutcome::Saved : ModifyOutcome::Closed;
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

    connect(CmdSave, &QPushButton::clicked, this, &FrmModi::CmdSave_Click);

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

bool FrmModi::setDataid(const QString& id) {
    dataid_ = id;
    bool found = false;
    if (const Status s = LoadRecord(id, found); !s) {
        // The opener has no error path of its own: say here which record failed and why.
        messageBoxes().critical(messageParent(),
                                QStringLiteral("无法读取记录 %1：\r\n%2").arg(id, s.error().description),
                                QStringLiteral("修改数据"));
        unloadForm();
        return false;
    }
    return found;
}

Status FrmModi::LoadRecord(const QString& id, bool& found) {
    found = false;
    loaded_.clear();
    (void)sharedSession().openIfNeededNow(); // a failed open shows up when the statement runs
    // A recordset of the form's own: no statement of the control's, run while the load waits, reopens it.
    const auto rs = std::make_shared<Recordset>();
    if (Status s = rs->Open(QStringLiteral("select * from searchtxt_data where dataid=?"), {id},
                            sharedSession().connection());
        !s)
        return s;
    if (rs->RecordCount() < 1) {
        messageBoxes().information(messageParent(), QStringLiteral("未找到 相关信息！Error:"));
        unloadForm();
        return {};
    }

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
    found = true;
    return {};
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

void FrmModi::saveAs(bool restoring) {
    if (!readyToWrite(txtTitle, RtbData))
        return;
    Error error;
    Saved outcome = Saved::Failed;
    if (whileBusy(CmdSave, [&] { outcome = saveRecord(error, restoring); }))
        report(outcome, error, restoring);
}

void FrmModi::report(Saved outcome, const Error& error, bool restoring) {
    switch (outcome) {
    case Saved::Done:
        saved_ = true;
        clearBoxes();
        messageBoxes().information(this, QStringLiteral("修改成功！"));
        unloadForm();
        return;
    case Saved::RowGone:
        return offerRestore();
    case Saved::ChangedByOthers:
        // Nothing written; the edits stay in the form so the user can keep what matters.
        messageBoxes().critical(
            this,
            (restoring
                 ? QStringLiteral(
                       "记录 %1 删除之后已被其他用户重新保存，本次修改没有保存，以免覆盖对方的记录。\r\n")
                 : QStringLiteral(
                       "记录 %1 在打开之后已被其他用户修改，本次修改没有保存，以免覆盖对方的修改。\r\n"))
                    .arg(dataid_) +
                QStringLiteral(
                    "您的编辑仍留在窗口中：请复制需要保留的内容，关闭窗口后重新打开该记录再修改。"),
            QStringLiteral("修改数据"));
        return;
    case Saved::Failed:
        messageBoxes().critical(
            this, QStringLiteral("Error:CmdSave_Click，修改没有保存\r\n Err:") + error.description,
            QStringLiteral("修改数据"));
        return;
    }
}

void FrmModi::offerRestore() {
    // The edits stay in the form whatever the answer.
    const QString text =
        QStringLiteral("修改没有保存：记录 %1 在您打开之后已被其他用户删除。\r\n您的编辑仍留在窗口中。\r\n"
                       "按“确定”以原编号 %1 重新保存您编辑的内容；按“取消”回到窗口。")
            .arg(dataid_);
    if (messageBoxes().question(this, text, QStringLiteral("修改数据")) == MessageBoxes::Answer::Ok)
        saveAs(true);
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

bool FrmModi::rowAsLoaded(const Recordset& rs) const {
    if (loaded_.size() != static_cast<qsizetype>(kColumns.size()))
        return false;
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        const int field = rs.fieldIndex(QString::fromLatin1(kColumns[i]));
        if (field < 0)
            return false;
        const bool same =
            i == 2 ? rs.column(field).view(0) == loadedBody_.view(0)
                   : rs.textAt(0, field).value_or(QString()) == loaded_.at(static_cast<qsizetype>(i));
        if (!same)
            return false;
    }
    return true;
}

FrmModi::Saved FrmModi::saveRecord(Error& error, bool restoring) {
    const auto fail = [&error, this](Error e) {
        error = explained(std::move(e), dataid_);
        return Saved::Failed;
    };
    const std::optional<QVariantList> values = editedRow(error);
    if (!values)
        return Saved::Failed;
    const QString id = dataid_;

    (void)sharedSession().openIfNeededNow(); // a failed open shows up when the transaction starts
    QPointer<Connection> conn = sharedSession().connection();
    if (!conn)
        return fail(forms::noConnectionError());

    // Declared before the recordset: whatever fails below is rolled back, so a failed insert never
    // leaves the row deleted.
    forms::Transaction transaction(conn);
    if (Status s = transaction.begin(); !s)
        return fail(s.error());

    // A locking read inside the transaction: the row is checked against what was loaded (or, when it
    // is stored again, found still missing), and nobody can change, delete or store it between this
    // check and the write.
    Recordset rs;
    if (Status s =
            rs.Open(QStringLiteral("select * from searchtxt_data where dataid=? for update"), {id}, conn);
        !s)
        return fail(s.error());
    if (restoring && rs.RecordCount() > 0)
        return Saved::ChangedByOthers;
    if (!restoring && rs.RecordCount() < 1)
        return Saved::RowGone;
    if (!restoring && !rowAsLoaded(rs))
        return Saved::ChangedByOthers;

    if (!conn)
        return fail(forms::noConnectionError());
    if (!restoring) {
        if (Status s = conn->Execute(QStringLiteral("delete from searchtxt_data where dataid=?"), {id}); !s)
            return fail(s.error());
    }
    const QString insert = QStringLiteral(
        "insert into `searchtxt_data`  (`dataid`, `name` , `data`,`createdatetime`,`modidatetime`,"
        "`desc`,`keys`,`creator`)  Values(?,?,?,?,?,?,?,?)");
    if (!conn)
        return fail(forms::noConnectionError());
    if (Status s = conn->Execute(insert, *values); !s)
        return fail(s.error());
    if (Status s = forms::noWarnings(conn); !s)
        return fail(s.error());
    if (Status s = transaction.commit(); !s)
        return fail(s.error());
    return Saved::Done;
}
