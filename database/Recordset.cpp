#include "database/Recordset.h"

#include "util/BackgroundRelease.h"

#include <QDateTime>

namespace {
// Results with more texts than this are freed off the window thread.
constexpr qint64 kBackgroundFreeCells = 20000;

void release(std::shared_ptr<const ResultTable>&& result) {
    if (!result)
        return;
    const qint64 cells = result->rowCount() * static_cast<qint64>(result->columns.size());
    if (cells < kBackgroundFreeCells || result.use_count() > 1) {
        result.reset();
        return;
    }
    background::releaseLater(std::move(result));
}
} // namespace

Recordset::~Recordset() {
    release(std::move(result_));
}

Co<Status> Recordset::open(QString sql, SqlParams params, Connection& conn,
                           std::shared_ptr<Cancellation> cancel) {
    Close();
    const Lifetime::Watch alive = lifetime_.watch();
    const QPointer<Connection> connection(&conn);
    Result<QueryOutcome> outcome = co_await conn.run(std::move(sql), std::move(params), std::move(cancel));
    if (alive.expired())
        co_return cancelledError(QStringLiteral("记录集已被释放"));
    co_return take(std::move(outcome), connection);
}

Status Recordset::Open(const QString& source, const SqlParams& params, Connection* conn,
                       const std::shared_ptr<Cancellation>& cancel) {
    Close();
    if (!conn)
        return Error{Error::kProviderError, QStringLiteral("数据库连接对象不存在"), 0};
    return take(conn->query(source, params, cancel), conn);
}

Status Recordset::take(Result<QueryOutcome> outcome, Connection* conn) {
    if (!outcome)
        return outcome.error();
    if (!outcome.value().result)
        return {}; // no rows: the recordset stays closed
    conn_ = conn;
    result_ = std::move(outcome.value().result);
    names_ = result_->names;
    table_ = result_->table;
    // Of two fields with one name (select *, name), the first wins.
    for (int i = static_cast<int>(names_.size()) - 1; i >= 0; --i)
        index_.insert(names_.at(i).toLower(), i);
    open_ = true;
    position_ = 0;
    return {};
}

void Recordset::Close() {
    open_ = false;
    release(std::move(result_));
    result_.reset();
    names_.clear();
    index_.clear();
    table_.clear();
    position_ = 0;
    added_.clear();
    pending_.reset();
}

qint64 Recordset::RecordCount() const {
    if (!open_)
        return -1;
    return storedRows() + static_cast<qint64>(added_.size());
}

Error Recordset::noCurrentRow() const {
    return Error{Error::kProviderError,
                 open_ ? QStringLiteral("BOF 或 EOF 中有一个是“真”，或者当前记录已被删除")
                       : QStringLiteral("对象关闭时，不允许操作"),
                 0};
}

Status Recordset::MoveFirst() {
    if (!open_)
        return noCurrentRow();
    position_ = 0;
    return {};
}

Status Recordset::MoveNext() {
    if (!open_ || isEOF())
        return noCurrentRow();
    ++position_;
    return {};
}

int Recordset::fieldIndex(const QString& name) const {
    return index_.value(name.toLower(), -1);
}

Result<QString> Recordset::text(int index) const {
    if (!open_ || isEOF())
        return noCurrentRow();
    return textAt(position_, index);
}

Result<QString> Recordset::textAt(qint64 row, int index) const {
    if (!open_ || row < 0 || row >= RecordCount())
        return noCurrentRow();
    if (index < 0 || index >= names_.size())
        return Error{Error::kProviderError, QStringLiteral("在对应所需名称或序数的集合中，未找到项目"), 0};
    const qint64 stored = storedRows();
    if (row < stored) {
        const auto column = static_cast<std::size_t>(index);
        if (result_->columns[column].isNull(row))
            return Error{Error::kProviderError,
                         QStringLiteral("无效使用 Null：字段 %1 的值为 NULL").arg(names_.at(index)), 0};
        return result_->columns[column].at(row);
    }
    const auto& v = added_.at(static_cast<std::size_t>(row - stored)).at(static_cast<std::size_t>(index));
    if (!v)
        return Error{Error::kProviderError,
                     QStringLiteral("无效使用 Null：字段 %1 的值为 NULL").arg(names_.at(index)), 0};
    return *v;
}

TextColumn Recordset::column(int index) const {
    if (!open_ || !result_ || index < 0 || index >= names_.size())
        return {};
    return result_->columns[static_cast<std::size_t>(index)];
}

Result<QString> Recordset::text(const QString& name) const {
    const int i = fieldIndex(name);
    if (i < 0 && open_)
        return Error{Error::kProviderError,
                     QStringLiteral("在对应所需名称或序数的集合中，未找到项目：%1").arg(name), 0};
    return text(i);
}

Status Recordset::AddNew() {
    if (!open_)
        return noCurrentRow();
    if (table_.isEmpty())
        return Error{Error::kProviderError, QStringLiteral("该记录集不可更新：找不到基表"), 0};
    pending_.emplace(static_cast<std::size_t>(names_.size()));
    return {};
}

Status Recordset::setValue(const QString& name, const QVariant& value) {
    if (!pending_)
        return Error{Error::kProviderError, QStringLiteral("没有正在新增的记录：请先调用 AddNew"), 0};
    const int i = fieldIndex(name);
    if (i < 0)
        return Error{Error::kProviderError,
                     QStringLiteral("在对应所需名称或序数的集合中，未找到项目：%1").arg(name), 0};
    (*pending_)[static_cast<std::size_t>(i)] = value;
    return {};
}

Result<Recordset::Insert> Recordset::pendingInsert() const {
    if (!pending_)
        return Error{Error::kProviderError, QStringLiteral("没有正在新增的记录：请先调用 AddNew"), 0};
    if (!conn_)
        return Error{Error::kProviderError, QStringLiteral("数据库连接对象不存在"), 0};
    Insert insert;
    insert.stored.resize(static_cast<std::size_t>(names_.size()));
    QStringList columns;
    QStringList placeholders;
    for (int i = 0; i < names_.size(); ++i) {
        const QVariant& v = (*pending_)[static_cast<std::size_t>(i)];
        if (!v.isValid())
            continue; // unassigned: the server's default
        columns << u'`' + QString(names_.at(i)).replace(u'`', QStringLiteral("``")) + u'`';
        placeholders << QStringLiteral("?");
        if (v.isNull()) {
            insert.values << QVariant();
            continue;
        }
        QString textValue = v.typeId() == QMetaType::QDateTime
                                ? v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                : v.toString();
        insert.values << textValue;
        insert.stored[static_cast<std::size_t>(i)] = std::move(textValue);
    }
    insert.sql = QStringLiteral("INSERT INTO `%1` (%2) VALUES (%3)")
                     .arg(QString(table_).replace(u'`', QStringLiteral("``")), columns.join(u','),
                          placeholders.join(u','));
    return insert;
}

void Recordset::added(std::vector<std::optional<QString>> stored) {
    pending_.reset();
    added_.push_back(std::move(stored));
    position_ = RecordCount() - 1;
}

Co<Status> Recordset::update() {
    Result<Insert> insert = pendingInsert();
    if (!insert)
        co_return insert.error();
    const Lifetime::Watch alive = lifetime_.watch();
    const Result<quint64> stored = co_await conn_->execute(insert.value().sql, insert.value().values);
    if (alive.expired())
        co_return cancelledError(QStringLiteral("记录集已被释放"));
    if (!stored)
        co_return stored.error(); // the pending row stays, as after a failed update
    added(std::move(insert.value().stored));
    co_return Status();
}

Status Recordset::Update() {
    Result<Insert> insert = pendingInsert();
    if (!insert)
        return insert.error();
    if (Status s = conn_->Execute(insert.value().sql, insert.value().values); !s)
        return s; // the pending row stays, as after a failed update
    added(std::move(insert.value().stored));
    return {};
}
