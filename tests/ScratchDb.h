#pragma once
// A database of the test's own, made afresh on the throwaway server (or on a private one) with the
// record table and a plain title view, dropped when the object goes; a connection of the test's own to
// it (admin()), with helpers that send every value bound; and the shared settings pointed at it.
#include "TestDb.h"
#include "database/ConnDatabase.h"
#include "database/Connection.h"
#include "database/Session.h"

#include <QVariant>

#include <memory>

class ScratchDb {
public:
    explicit ScratchDb(QString name) : name_(std::move(name)) {}
    ScratchDb(const ScratchDb&) = delete;
    ScratchDb& operator=(const ScratchDb&) = delete;
    ~ScratchDb() {
        if (admin_)
            (void)admin_->Execute(QStringLiteral("DROP DATABASE IF EXISTS ") + name_);
    }

    // Creates the database on `server` (host:port), dropping what an earlier run left, with the table
    // (as the shared one is made) and the view. False, with the reason in `error` and the log, when it
    // fails.
    bool create(QString* error = nullptr, const QString& server = testdb::server()) {
        server_ = server;
        admin_ = std::make_unique<Connection>();
        const QString failed = make();
        if (!failed.isEmpty())
            qWarning().noquote() << "scratch database" << name_ << "not made:" << failed;
        if (error)
            *error = failed;
        return failed.isEmpty();
    }

    static QString plainView() {
        return QStringLiteral(
            "CREATE OR REPLACE VIEW VW_SearchTxt_Name AS SELECT `dataid` AS `DataID`, `name` "
            "FROM SearchTxt_Data");
    }

    // Runs `sql`; the description of the failure, or empty.
    QString exec(const QString& sql, const SqlParams& params = {}) {
        const Status s = admin_->Execute(sql, params);
        return !s ? s.description() + QStringLiteral(" in ") + sql.left(200) : QString();
    }

    // A record; a null `name` or `data` is stored as NULL.
    QString insert(const QString& id, const QVariant& name, const QVariant& data) {
        return exec(QStringLiteral("INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator,"
                                   "createdatetime,modidatetime) VALUES (?,?,?,'','','',NOW(),NOW())"),
                    {id, name, data});
    }

    // Records first..last, each with id "i", title "ti" and body "body i"; the first failure, or empty.
    QString insertNumbered(int first, int last) {
        for (int i = first; i <= last; ++i)
            if (QString failed = insert(QString::number(i), QStringLiteral("t%1").arg(i),
                                        QStringLiteral("body %1").arg(i));
                !failed.isEmpty())
                return failed;
        return {};
    }

    // The rows of a statement, each a list of its values as text, NULL as "<NULL>"; one row naming the
    // failure when the statement fails, so that any comparison with it fails and says why.
    QList<QStringList> query(const QString& sql, const SqlParams& params = {}) {
        const auto r = admin_->query(sql, params);
        if (!r || !r.value().result)
            return {
                {QStringLiteral("<failed: %1>").arg(r ? QStringLiteral("no rows") : r.error().description)}};
        const ResultTable& table = *r.value().result;
        QList<QStringList> rows;
        for (qint64 i = 0; i < table.rowCount(); ++i) {
            QStringList row;
            for (size_t c = 0; c < table.columns.size(); ++c)
                row << (table.columns[c].isNull(i) ? QStringLiteral("<NULL>") : table.columns[c].at(i));
            rows << row;
        }
        return rows;
    }
    // The first value of a statement's first row; "<none>" when it gives no rows.
    QString value(const QString& sql, const SqlParams& params = {}) {
        const QList<QStringList> rows = query(sql, params);
        return rows.isEmpty() ? QStringLiteral("<none>") : rows.first().value(0);
    }
    // One record's `columns` (by default all eight, in table order); empty when there is none.
    QStringList row(const QString& id,
                    const QString& columns = QStringLiteral(
                        "dataid,name,data,createdatetime,modidatetime,`desc`,`keys`,creator")) {
        return query(QStringLiteral("SELECT %1 FROM SearchTxt_Data WHERE dataid=?").arg(columns), {id})
            .value(0);
    }
    // The values of one column, in id order.
    QStringList column(const QString& column) {
        QStringList out;
        for (const QStringList& row :
             query(QStringLiteral("SELECT `%1` FROM SearchTxt_Data ORDER BY dataid").arg(column)))
            out << row.first();
        return out;
    }

    // Points the shared settings at this database with the built-in account.
    void pointSettingsHere() const {
        sharedSession().forget();
        sharedSession().settings().server = server_;
        sharedSession().settings().database = name_;
        sharedSession().settings().user = QStringLiteral("qelmorand");
        sharedSession().settings().password = QStringLiteral("40628173");
    }
    // The built-in account's connection string for this database (or `database` on its server).
    QString connectionString(const QString& database = {}) const {
        return QStringLiteral("uid=qelmorand;pwd=40628173;server=%1;database=%2")
            .arg(server_, database.isEmpty() ? name_ : database);
    }

    QString name() const { return name_; }
    Connection& admin() { return *admin_; }

private:
    QString make() {
        if (const Status s = admin_->Open(connectionString(QStringLiteral("qelmorand"))); !s)
            return s.description();
        for (const QString& sql :
             {QStringLiteral("DROP DATABASE IF EXISTS ") + name_, QStringLiteral("CREATE DATABASE ") + name_})
            if (QString failed = exec(sql); !failed.isEmpty())
                return failed;
        // Its own database from now on, also when the connection opens again after a lost session.
        if (const Status s = admin_->Open(connectionString()); !s)
            return s.description();
        for (const QString& sql :
             {QStringLiteral("CREATE TABLE SearchTxt_Data LIKE qelmorand.SearchTxt_Data"), plainView()})
            if (QString failed = exec(sql); !failed.isEmpty())
                return failed;
        return {};
    }

    QString name_;
    QString server_ = testdb::server();
    std::unique_ptr<Connection> admin_;
};

// Fails the test, and ends it, when a helper above reports a failure.
#define CHECK_SQL(expr)                                                                                      \
    do {                                                                                                     \
        const QString failed_ = (expr);                                                                      \
        QVERIFY2(failed_.isEmpty(), qPrintable(failed_));                                                    \
    } while (0)
