#pragma once
// A database of the test's own on the throwaway server, with the record table and a plain title
// view, and the shared settings pointed at it.
#include "TestDb.h"
#include "database/ConnDatabase.h"
#include "database/Connection.h"

#include <QVariant>

#include <memory>

class ScratchDb {
public:
    explicit ScratchDb(QString name) : name_(std::move(name)) {}

    // Creates the database, table and view (idempotent). False, with `error` set, when it fails.
    bool create(QString* error) {
        admin_ = std::make_unique<Connection>();
        if (const Status s = admin_->Open(testdb::connectionString()); !s) {
            *error = s.error().description;
            return false;
        }
        for (const QString& sql :
             {QStringLiteral("CREATE DATABASE IF NOT EXISTS ") + name_, QStringLiteral("USE ") + name_,
              QStringLiteral("CREATE TABLE IF NOT EXISTS SearchTxt_Data LIKE "
                             "qelmorand.SearchTxt_Data"),
              plainView()}) {
            if (const Status s = admin_->Execute(sql); !s) {
                *error = s.error().description + QStringLiteral(" in ") + sql;
                return false;
            }
        }
        return true;
    }

    static QString plainView() {
        return QStringLiteral(
            "CREATE OR REPLACE VIEW VW_SearchTxt_Name AS SELECT `dataid` AS `DataID`, `name` "
            "FROM SearchTxt_Data");
    }

    // Runs `sql`; the description of the failure, or empty.
    QString exec(const QString& sql, const SqlParams& params = {}) {
        const Status s = admin_->Execute(sql, params);
        return !s ? s.error().description + QStringLiteral(" in ") + sql : QString();
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

    // The values of one column, in id order.
    QStringList column(const QString& column) {
        auto r = admin_->query(QStringLiteral("SELECT `%1` FROM SearchTxt_Data ORDER BY dataid").arg(column));
        QStringList out;
        if (!r || !r.value().result)
            return {QStringLiteral("<query failed>")};
        const ResultTable& table = *r.value().result;
        for (qint64 i = 0; i < table.rowCount(); ++i)
            out << table.columns.front().at(i);
        return out;
    }

    // Points the shared settings at this database with the built-in account.
    void pointSettingsHere() const {
        mConnDatabase::forgetAccount();
        mConnDatabase::dbServerIP = testdb::server();
        mConnDatabase::dbName = name_;
        mConnDatabase::dbUse = QStringLiteral("qelmorand");
        mConnDatabase::dbPwd = QStringLiteral("40628173");
    }

    Connection& admin() { return *admin_; }

private:
    QString name_;
    std::unique_ptr<Connection> admin_;
};

#define CHECK_SQL(expr)                                                                                      \
    do {                                                                                                     \
        const QString failed_ = (expr);                                                                      \
        QVERIFY2(failed_.isEmpty(), qPrintable(failed_));                                                    \
    } while (0)
