#include "control/HistoryWindow.h"
#include "control/ResultSet.h"

#include "control/Highlighter.h"
#include "control/RecordCommands.h"
#include "control/RecordViewer.h"
#include "control/ResultLoader.h"
#include "database/CompanionSchema.h"
#include "database/ConnDatabase.h"
#include "database/RecordHistory.h"
#include "database/Session.h"
#include "forms/FormSupport.h"
#include "ui/FramedTextEdit.h"
#include "ui/LargeTextView.h"
#include "ui/MessageBoxes.h"
#include "util/Clock.h"
#include "util/Handlers.h"

#include <QAbstractTableModel>
#include <QBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTimeZone>
#include <QTreeView>

#include <mysqld_error.h>

namespace {

const QString kCurrentRow = QStringLiteral("select * from searchtxt_data where dataid=?");

// The history's times are UTC with microseconds; shown in local time to the second, as the forms
// show theirs.
QString localTime(const QString& utc) {
    const QDate date = QDate::fromString(utc.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(utc.mid(11, 8), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return utc;
    return QDateTime(date, time, Qt::UTC).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString changeText(const QString& change) {
    if (change == u"save")
        return QStringLiteral("保存");
    if (change == u"delete")
        return QStringLiteral("删除");
    return QStringLiteral("更新");
}

// Whether two reads of one record by kCurrentRow found the same: both none, or every column alike.
bool sameRow(const ResultTable& a, const ResultTable& b) {
    if (a.rowCount() != b.rowCount() || a.columns.size() != b.columns.size())
        return false;
    if (a.rowCount() == 0)
        return true;
    for (std::size_t c = 0; c < a.columns.size(); ++c)
        if (a.columns[c].isNull(0) != b.columns[c].isNull(0) || a.columns[c].view(0) != b.columns[c].view(0))
            return false;
    return true;
}

QString companionName() {
    return companion::nameFor(sharedSession().settings().database);
}

} // namespace

// The rows of a versions or trash statement as they came, formatted only when a row is in view.
class HistoryModel : public QAbstractTableModel {
public:
    HistoryModel(HistoryWindow::Kind kind, QObject* parent) : QAbstractTableModel(parent), kind_(kind) {
        // Columns of versionsStatement: hid, at, account, change, title, size; of trashStatement: hid,
        // dataid, at, account, title, size.
        if (kind == HistoryWindow::Kind::Versions) {
            headers_ = {QStringLiteral("时间"), QStringLiteral("账户"), QStringLiteral("变更"),
                        QStringLiteral("标题"), QStringLiteral("字数")};
            sources_ = {1, 2, 3, 4, 5};
        } else {
            headers_ = {QStringLiteral("标题"), QStringLiteral("删除时间"), QStringLiteral("账户"),
                        QStringLiteral("ID"), QStringLiteral("字数")};
            sources_ = {4, 2, 3, 1, 5};
        }
    }
    void setRows(std::shared_ptr<const ResultTable> rows) {
        beginResetModel();
        rows_ = rows && rows->columns.size() >= 6 ? std::move(rows) : nullptr;
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() || !rows_ ? 0 : int(rows_->rowCount());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(headers_.size());
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < headers_.size())
            return headers_.at(section);
        return {};
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!rows_ || !index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
            return {};
        const int source = sources_.at(index.column());
        const TextColumn& column = rows_->columns[std::size_t(source)];
        const qsizetype row = index.row();
        if (column.isNull(row))
            return source == 4 ? QStringLiteral("（无标题）") : QString();
        // A title may be long: only its first line, and a tooltip of no more than a screen's worth.
        const QString text = column.view(row).left(role == Qt::ToolTipRole ? 2000 : 300).toString();
        if (source == (kind_ == HistoryWindow::Kind::Versions ? 1 : 2))
            return localTime(text);
        if (kind_ == HistoryWindow::Kind::Versions && source == 3)
            return changeText(text);
        return text;
    }
    qint64 hid(int row) const {
        return rows_ && row >= 0 && row < rows_->rowCount() ? rows_->columns[0].view(row).toLongLong() : -1;
    }
    QString text(int row, int source) const {
        return rows_ && row >= 0 && row < rows_->rowCount() ? rows_->columns[std::size_t(source)].at(row)
                                                            : QString();
    }

private:
    HistoryWindow::Kind kind_;
    QStringList headers_;
    QList<int> sources_;
    std::shared_ptr<const ResultTable> rows_;
};

HistoryWindow::HistoryWindow(Kind kind, HistoryWindows& owner, QWidget* parent)
    : QDialog(parent), kind_(kind), owner_(owner), model_(new HistoryModel(kind, this)) {
    const bool versions = kind == Kind::Versions;
    setObjectName(versions ? QStringLiteral("HistoryWindow") : QStringLiteral("TrashWindow"));
    setWindowTitle(versions ? QStringLiteral("历史版本") : QStringLiteral("回收站"));
    setAccessibleName(windowTitle());
    setWindowModality(Qt::NonModal);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setSizeGripEnabled(true);
    resize(820, 560);

    buildList(versions);

    box = new FramedTextEdit(this);
    box->setObjectName(QStringLiteral("HistoryText"));
    box->setReadOnly(true);
    box->setTabChangesFocus(true);
    box->setAccessibleName(versions ? QStringLiteral("版本内容") : QStringLiteral("记录内容"));
    large_ = new LargeTextView(box);

    restoreButton = new QPushButton(versions ? QStringLiteral("恢复此版本") : QStringLiteral("恢复"), this);
    restoreButton->setObjectName(QStringLiteral("RestoreButton"));
    restoreButton->setAccessibleName(restoreButton->text());
    restoreButton->setEnabled(false);
    closeButton = new QPushButton(QStringLiteral("关闭"), this);
    closeButton->setObjectName(QStringLiteral("CloseButton"));
    closeButton->setAccessibleName(QStringLiteral("关闭") + windowTitle());
    // Enter on a list row must never restore: only a button with the focus takes Enter.
    for (QPushButton* b : {restoreButton, closeButton}) {
        b->setAutoDefault(true);
        b->setDefault(false);
    }
    status = new QLineEdit(this);
    status->setObjectName(QStringLiteral("HistoryStatus"));
    status->setReadOnly(true);
    status->setAccessibleName(QStringLiteral("状态"));

    layOut();

    highlighter_ = new Highlighter(box, large_, list, *this);
    connect(large_, &LargeTextView::wholeText, this, [this] {
        if (const auto figures = std::exchange(pendingFigures_, std::nullopt))
            ShowStatus(RecordViewer::figuresLine(box, large_, figures->first, figures->second));
    });
    connect(list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { showItem(current.isValid() ? current.row() : -1); });
    connect(restoreButton, &QPushButton::clicked, this, &HistoryWindow::restoreSelected);
    connect(closeButton, &QPushButton::clicked, this, &HistoryWindow::reject);
}

void HistoryWindow::buildList(bool versions) {
    list = new QTreeView(this);
    list->setObjectName(QStringLiteral("HistoryList"));
    list->setModel(model_);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true); // 1,000 versions: only the rows in view are measured
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setAllColumnsShowFocus(true);
    list->setAccessibleName(versions ? QStringLiteral("版本列表") : QStringLiteral("已删除的记录"));
    QHeaderView* header = list->header();
    header->setStretchLastSection(false);
    const int titleColumn = versions ? 3 : 0;
    for (int c = 0; c < model_->columnCount(); ++c)
        header->setSectionResizeMode(c, c == titleColumn ? QHeaderView::Stretch : QHeaderView::Interactive);
    // Time, account and id whole at the usual font; the title takes the rest.
    header->resizeSection(versions ? 0 : 1, 150);
    header->resizeSection(versions ? 1 : 2, 170);
    if (!versions)
        header->resizeSection(3, 170);
}

void HistoryWindow::layOut() {
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(list);
    split->addWidget(box);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    split->setChildrenCollapsible(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(restoreButton);
    buttons->addStretch();
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split, 1);
    layout->addLayout(buttons);
    layout->addWidget(status);
    setTabOrder(list, box);
    setTabOrder(box, restoreButton);
    setTabOrder(restoreButton, closeButton);
    setTabOrder(closeButton, status);
}

HistoryWindow::~HistoryWindow() {
    stop();
    delete highlighter_.data();
}

void HistoryWindow::ShowStatus(const QString& message) {
    status->setText(appClock().now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u' ' + message);
}

int HistoryWindow::rows() const {
    return model_->rowCount();
}

void HistoryWindow::stop() {
    // Whatever this window still reads is of no use any more: ended on the server, dropped here.
    ++loadSerial_;
    ++itemSerial_;
    if (cancel_)
        cancel_->cancel();
    cancel_ = std::make_shared<Cancellation>();
}

void HistoryWindow::done(int result) {
    stop();
    QDialog::done(result);
}

void HistoryWindow::open(const QString& id, const QString& title) {
    id_ = id;
    title_ = title;
    if (kind_ == Kind::Versions)
        setWindowTitle(QStringLiteral("历史版本 - ") + title);
    show();
    raise();
    activateWindow();
    list->setFocus();
    load();
}

void HistoryWindow::load() {
    stop();
    loading_ = true;
    opened_.reset();
    model_->setRows(nullptr);
    large_->hideText();
    box->clear();
    restoreButton->setEnabled(false);
    ShowStatus(QStringLiteral("正在读取…"));
    owner_.handlers.start(readList(loadSerial_, cancel_));
}

void HistoryWindow::finishLoad(const QString& message) {
    loading_ = false;
    ShowStatus(message);
}

// After each wait: nothing more when the window went, or when a newer read or the close owns it now.
Co<> HistoryWindow::readList(quint64 serial, std::shared_ptr<Cancellation> cancel) {
    const QPointer<HistoryWindow> alive = this;
    const Result<Session::Opened> opened = co_await sharedSession().openIfNeeded();
    (void)opened; // a failed open shows as the failure of the read below
    if (!alive || serial != loadSerial_)
        co_return;
    const QPointer<Connection> conn = sharedSession().connection();
    if (!conn) {
        finishLoad(QStringLiteral("数据库连接对象不存在"));
        co_return;
    }
    if (kind_ == Kind::Versions) {
        const SqlParams byId{id_};
        const Result<QueryOutcome> current = co_await conn->run(kCurrentRow, byId, cancel);
        if (!alive || serial != loadSerial_)
            co_return;
        if (!current || !current.value().result) {
            finishLoad(QStringLiteral("无法读取记录 %1：%2")
                           .arg(id_, current ? QStringLiteral("没有结果") : current.error().description));
            co_return;
        }
        opened_ = current.value().result;
    }
    const history::Statement s =
        kind_ == Kind::Versions
            ? history::versionsStatement(companionName(), id_)
            : history::trashStatement(companionName(), sharedSession().settings().database);
    if (!conn) {
        finishLoad(QStringLiteral("无法读取历史："));
        co_return;
    }
    const Result<QueryOutcome> r = co_await conn->run(s.sql, s.params, cancel);
    if (!alive || serial != loadSerial_)
        co_return;
    if (!r || !r.value().result) {
        finishLoad(QStringLiteral("无法读取历史：") +
                   (r ? QStringLiteral("没有结果") : r.error().description));
        co_return;
    }
    model_->setRows(r.value().result);
    const int n = model_->rowCount();
    finishLoad(n == 0 ? (kind_ == Kind::Versions ? QStringLiteral("记录 %1 没有历史版本").arg(id_)
                                                 : QStringLiteral("回收站是空的"))
                      : (kind_ == Kind::Versions
                             ? QStringLiteral("记录 %1 共 %2 个历史版本（新的在前）").arg(id_).arg(n)
                             : QStringLiteral("回收站中共 %1 条记录（新删除的在前）").arg(n)));
    if (n > 0)
        list->setCurrentIndex(model_->index(0, 0));
}

void HistoryWindow::showItem(int row) {
    const quint64 serial = ++itemSerial_;
    pendingFigures_.reset();
    restoreButton->setEnabled(false);
    const qint64 hid = model_->hid(row);
    if (hid < 0) {
        large_->hideText();
        box->clear();
        return;
    }
    owner_.handlers.start(readItem(row, hid, serial));
}

Co<> HistoryWindow::readItem(int row, qint64 hid, quint64 serial) {
    const QPointer<Connection> conn = sharedSession().connection();
    if (!conn)
        co_return;
    const QPointer<HistoryWindow> alive = this;
    const history::Statement s = history::versionStatement(companionName(), hid);
    const std::shared_ptr<Cancellation> cancel = cancel_;
    const Result<QueryOutcome> r = co_await conn->run(s.sql, s.params, cancel);
    if (!alive || serial != itemSerial_)
        co_return; // a newer selection, a reload or the close owns the box now
    if (!r || !r.value().result || r.value().result->rowCount() < 1 || r.value().result->columns.size() < 3) {
        large_->hideText();
        box->clear();
        ShowStatus(QStringLiteral("无法读取此版本：") +
                   (r ? QStringLiteral("历史中已没有此版本（可能已被清理）") : r.error().description));
        co_return;
    }
    // The body, shared with the result (a version may hold 16 MB), as the viewer shows a record.
    const TextColumn body = r.value().result->columns[2];
    RecordViewer::showText(box, large_, body, 0);
    highlighter_->show(body, 0, owner_.loader.results().key);
    restoreButton->setEnabled(true);
    if (large_->showing() && !large_->complete())
        pendingFigures_ = std::pair{row, qsizetype(rows())};
    else
        ShowStatus(RecordViewer::figuresLine(box, large_, row, rows()));
}

void HistoryWindow::restoreSelected() {
    owner_.handlers.start(restore());
}

// After each wait: nothing more when the window went (with it the control, or the gate's pass).
Co<> HistoryWindow::restore() {
    const QPointer<HistoryWindow> alive = this;
    const bool versions = kind_ == Kind::Versions;
    const int row = list->currentIndex().isValid() ? list->currentIndex().row() : -1;
    const qint64 hid = model_->hid(row);
    if (hid < 0 || loading_) {
        const QString text =
            versions ? QStringLiteral("请选择需要恢复的版本") : QStringLiteral("请选择需要恢复的记录");
        co_await messageBoxes().informationBox(this, text);
        co_return;
    }
    const QString id = versions ? id_ : model_->text(row, 1);
    const QString title = model_->text(row, 4);
    const QString at = localTime(model_->text(row, versions ? 1 : 2));
    const QString question =
        versions ? QStringLiteral("将用 %1 之前的版本替换记录的当前内容，请确定！\r\nID:%2\r\n标题：%3")
                       .arg(at, id, title)
                 : QStringLiteral("将以原编号恢复以下记录，请确定！\r\nID:%1\r\n标题：%2").arg(id, title);
    const QString caption = windowTitle();
    const MessageBoxes::Answer answer = co_await messageBoxes().questionBox(this, question, caption);
    if (!alive || answer != MessageBoxes::Answer::Ok)
        co_return;
    const auto pass = owner_.gate.enter(CommandGate::Kind::Command, restoreButton->text());
    if (!pass)
        co_return;
    Restore done;
    if (versions) {
        const std::shared_ptr<const ResultTable> opened = opened_;
        done = co_await restoreVersion(hid, id, opened);
    } else {
        done = co_await restoreTrashItem(hid);
    }
    if (!alive || pass->superseded())
        co_return;
    if (done.outcome == Restored::Done) {
        co_await owner_.commands.showStoredRecord(id, *pass); // the list and the viewer show it now
        if (!alive || pass->superseded())
            co_return;
    }
    const QString text = restoredText(done.outcome, id, at, title, done.error);
    if (done.outcome == Restored::Done)
        co_await messageBoxes().informationBox(this, text);
    else
        co_await messageBoxes().criticalBox(this, text, caption);
    if (!alive || pass->superseded() || done.outcome == Restored::Failed)
        co_return; // after a failure the list stays as it is, to try again
    load();
}

QString HistoryWindow::restoredText(Restored outcome, const QString& id, const QString& at,
                                    const QString& title, const Error& error) const {
    switch (outcome) {
    case Restored::Done:
        return kind_ == Kind::Versions
                   ? QStringLiteral("已恢复此版本：记录 %1 现在是 %2 之前的内容。").arg(id, at)
                   : QStringLiteral("已恢复记录 %1：%2").arg(id, title);
    case Restored::Changed:
        return QStringLiteral("记录 %1 在本窗口打开之后已被修改或删除，没有恢复，以免覆盖对方的修改。\r\n"
                              "窗口已重新读取：请查看最新的内容和版本后再决定。")
            .arg(id);
    case Restored::Exists:
        return QStringLiteral("没有恢复：已有编号为 %1 的记录（已被重新保存或恢复）。").arg(id);
    case Restored::Gone:
        return QStringLiteral("没有恢复：历史中已没有这个版本（可能已被清理）。");
    case Restored::Failed:
        break;
    }
    return QStringLiteral("没有恢复，记录保持原样\r\n Err:") + error.description;
}

Co<HistoryWindow::Restore> HistoryWindow::restoreVersion(qint64 hid, QString id,
                                                         std::shared_ptr<const ResultTable> opened) {
    const auto failed = [](Error e) { return Restore{Restored::Failed, std::move(e)}; };
    const QPointer<Connection> conn = co_await forms::openedConnection();
    if (!conn)
        co_return failed(forms::noConnectionError());
    // Read first, then bound: a statement that reads the history cannot write the record.
    const history::Statement read = history::versionStatement(companionName(), hid);
    const Result<QueryOutcome> version = co_await conn->run(read.sql, read.params);
    if (!version)
        co_return failed(version.error());
    std::optional<SqlParams> values =
        version.value().result ? history::versionValues(*version.value().result) : std::nullopt;
    if (!values)
        co_return Restore{Restored::Gone, {}};
    // As the modify form saves: the id, the creator and the creation time kept, the modification time
    // the time of this store.
    (*values)[4] = appClock().now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));

    if (!conn)
        co_return failed(forms::noConnectionError());
    forms::Transaction transaction(conn);
    const Status begun = co_await transaction.begin();
    if (!begun)
        co_return failed(begun.error());
    // Locked and compared with what the window listed the versions against: nobody's change since is
    // overwritten, and nobody can change the record between this check and the write.
    if (!conn)
        co_return failed(forms::noConnectionError());
    const QString lockingRead = kCurrentRow + QStringLiteral(" for update");
    const SqlParams byId{id}; // bound before the wait: GCC cannot keep a braced list across it
    const Result<QueryOutcome> now = co_await conn->run(lockingRead, byId);
    if (!now || !now.value().result)
        co_return failed(now ? forms::noConnectionError() : now.error());
    if (!opened || !sameRow(*opened, *now.value().result))
        co_return Restore{Restored::Changed, {}};
    if (!conn)
        co_return failed(forms::noConnectionError());
    if (now.value().result->rowCount() > 0) {
        const QString remove = QStringLiteral("delete from searchtxt_data where dataid=?");
        const Result<quint64> removed = co_await conn->execute(remove, byId);
        if (!removed)
            co_return failed(removed.error());
    }
    const SqlParams restored = *values;
    co_return co_await storeRestored(transaction, conn, restored, false);
}

Co<HistoryWindow::Restore> HistoryWindow::restoreTrashItem(qint64 hid) {
    const auto failed = [](Error e) { return Restore{Restored::Failed, std::move(e)}; };
    const QPointer<Connection> conn = co_await forms::openedConnection();
    if (!conn)
        co_return failed(forms::noConnectionError());
    const history::Statement read = history::versionStatement(companionName(), hid);
    const Result<QueryOutcome> version = co_await conn->run(read.sql, read.params);
    if (!version)
        co_return failed(version.error());
    const std::optional<SqlParams> values =
        version.value().result ? history::versionValues(*version.value().result) : std::nullopt;
    if (!values)
        co_return Restore{Restored::Gone, {}};
    // Back exactly as it was deleted, under its own id; one that is there again is never replaced.
    if (!conn)
        co_return failed(forms::noConnectionError());
    forms::Transaction transaction(conn);
    const Status begun = co_await transaction.begin();
    if (!begun)
        co_return failed(begun.error());
    const SqlParams restored = *values;
    co_return co_await storeRestored(transaction, conn, restored, true);
}

Co<HistoryWindow::Restore> HistoryWindow::storeRestored(forms::Transaction& transaction,
                                                        QPointer<Connection> conn, SqlParams values,
                                                        bool fromTrash) {
    const auto failed = [](Error e) { return Restore{Restored::Failed, std::move(e)}; };
    const history::Statement store = history::restoreStatement(sharedSession().settings().database, values);
    if (!conn)
        co_return failed(forms::noConnectionError());
    const Result<quint64> stored = co_await conn->execute(store.sql, store.params);
    // A trash item is never put over a record that is there again under its id.
    if (!stored && fromTrash && stored.error().nativeError == ER_DUP_ENTRY)
        co_return Restore{Restored::Exists, {}};
    if (!stored)
        co_return failed(stored.error());
    const Status clean = co_await forms::noWarnings(conn);
    if (!clean)
        co_return failed(clean.error());
    const Status committed = co_await transaction.commit();
    if (!committed)
        co_return failed(committed.error());
    co_return Restore{Restored::Done, {}};
}

// ---- the two windows ----

HistoryWindows::HistoryWindows(CommandGate& gate, ResultLoader& loader, RecordCommands& commands,
                               Handlers& handlers, QWidget* parent)
    : gate(gate), loader(loader), commands(commands), handlers(handlers), parent_(parent) {}

Co<bool> HistoryWindows::available() {
    const Session::Settings& held = sharedSession().settings();
    const QString account = held.server + u'\n' + held.database + u'\n' + held.user;
    if (!checkedFor_.isEmpty() && account == checkedFor_)
        co_return installed_;
    const QPointer<Connection> conn = sharedSession().connection();
    if (!conn || !conn->isOpen() || held.database.isEmpty())
        co_return false;
    const Lifetime::Watch alive = lifetime_.watch();
    const quint64 asked = forgotten_;
    const QString sql = history::installedStatement(companionName()).sql;
    const Result<QueryOutcome> r = co_await conn->run(sql);
    if (alive.expired() || asked != forgotten_)
        co_return false;
    bool installed = false;
    if (!r) {
        // The server's answer (no such database, no rights on it) means not installed; a lost
        // session or a cancel says nothing, so the next popup asks again.
        const unsigned code = r.error().nativeError;
        if (r.error().cancelled || code < 1000 || code >= 2000)
            co_return false;
    } else {
        const std::shared_ptr<const ResultTable> rows = r.value().result;
        installed = rows && rows->rowCount() > 0 && rows->columns[0].at(0) == u"1";
    }
    installed_ = installed;
    checkedFor_ = account;
    co_return installed;
}

void HistoryWindows::forget() {
    ++forgotten_;
    checkedFor_.clear();
    installed_ = false;
    for (HistoryWindow* w : {versions_.data(), trash_.data()})
        if (w)
            w->reject();
}

void HistoryWindows::showVersions(const QString& id, const QString& title) {
    if (!versions_)
        versions_ = new HistoryWindow(HistoryWindow::Kind::Versions, *this, parent_);
    versions_->open(id, title);
}

void HistoryWindows::showTrash() {
    if (!trash_)
        trash_ = new HistoryWindow(HistoryWindow::Kind::Trash, *this, parent_);
    trash_->open();
}
