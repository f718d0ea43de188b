// The record commands of the result list's popup menu: add, delete, modify, and the two exports.
#include "control/uVornik.h"

#include "database/ConnDatabase.h"
#include "database/Shared.h"
#include "forms/FormOpener.h"
#include "util/AtomicFile.h"
#include "util/Desktop.h"
#include "util/Gbk.h"
#include "util/MessageBoxes.h"
#include "util/ModulePath.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMenu>
#include <QStandardPaths>

using mPublic::RowData;
using mPublic::RowIds;
using mPublic::RowNames;

namespace {

// The export of all records lets the window breathe about once a frame.
constexpr qint64 kExportSliceMs = 16;

const QString kCrLf = QStringLiteral("\r\n");

} // namespace

uVornik::Snapshot uVornik::snapshot() const {
    Snapshot s{RowNames, RowData, RowIds, 0};
    // The arrays hold one element more than the rows they describe; a load in progress has listed
    // fewer rows than the arrays hold, and only the listed ones are the user's result. The contents
    // of a title search may not be in place yet: missing ones read as the placeholder.
    const qsizetype held = std::min(s.names.size(), s.ids.size());
    s.rows = std::min<qsizetype>(List1->count(), std::max<qsizetype>(held - 1, 0));
    return s;
}

bool uVornik::selectedRecord(QString* id, QString* title) const {
    const int p = List1->selectedRow();
    if (p < 0 || p >= List1->count() || p >= RowIds.size() || p >= RowNames.size())
        return false;
    *id = RowIds.at(p);
    *title = RowNames.at(p);
    return !id->isEmpty();
}

void uVornik::List1_MouseUp(Qt::MouseButton button, const QPoint& globalPos) {
    if (button != Qt::RightButton)
        return;
    Menu[5]->setVisible(!ChkControl[0]->isChecked());
    Menus->popup(globalPos);
}

void uVornik::Menu_Click(int index) {
    switch (index) {
    case 0:
        formOpener().showAdd(this);
        break;
    case 1: {
        bool executed = false;
        const QString failed = DeleteTxt(&executed);
        if (executed)
            ShowStatus(failed.isEmpty() ? QStringLiteral("删除成功")
                                        : QStringLiteral("删除失败，Error:") + failed);
        break;
    }
    case 2:
        ModiTxt();
        break;
    case 4:
        ExportTitles();
        break;
    case 5:
        ExportAll();
        break;
    default:
        break;
    }
}

void uVornik::ModiTxt() {
    QString id;
    QString title;
    if (!selectedRecord(&id, &title)) {
        messageBoxes().information(this, QStringLiteral("请选择需要修改的TXT"));
        return;
    }
    // A record that cannot be loaded is reported by the form itself, naming the id and the reason.
    formOpener().showModify(id, this);
}

QString uVornik::DeleteTxt(bool* executed) {
    if (executed)
        *executed = false;
    QString id;
    QString title;
    if (!selectedRecord(&id, &title)) {
        messageBoxes().information(this, QStringLiteral("请选择需要删除的TXT"));
        ShowStatus(QStringLiteral("没有删除：未选择TXT"));
        return {};
    }
    const QString question = QStringLiteral("将要删除以下信息，请确定！") + kCrLf + QStringLiteral("ID:") +
                             id + kCrLf + QStringLiteral("标题：") + title;
    if (messageBoxes().question(this, question) != MessageBoxes::Answer::Ok) {
        ShowStatus(QStringLiteral("已取消删除"));
        return {};
    }
    if (executed)
        *executed = true;

    // The connection may have been dropped since the search (server restart, 60 s gone by): open it
    // again with the held account rather than fail on a closed one.
    QString errorText;
    mConnDatabase::ConnectDatabase(errorText);
    Connection* conn = mPublic::Conn.get();
    if (!conn)
        return QStringLiteral("数据库连接对象不存在");
    const QString sql =
        QStringLiteral("delete from searchtxt_data where dataid='") + literalValue(id) + QStringLiteral("'");
    quint64 affected = 0;
    if (const Status s = conn->Execute(sql, &affected); !s)
        return s.error().description;
    if (affected == 0)
        return QStringLiteral("找不到 ID:%1 的记录，可能已被其他用户删除").arg(id);
    return {};
}

QString uVornik::libraryFolder() {
    return QFileInfo(moduleFilePath()).absolutePath();
}

QString uVornik::libraryName() {
    return QFileInfo(moduleFilePath()).completeBaseName();
}

QString uVornik::exportBaseFolder() {
    const QString folder = libraryFolder();
    if (QFileInfo(folder).isWritable())
        return folder;
    // An installed library sits in a system folder that users cannot write to.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/vornik");
}

QString uVornik::titlesFilePath() {
    return exportBaseFolder() + u'/' + libraryName() + QStringLiteral(".txt");
}

QString uVornik::exportFolderPath() {
    return exportBaseFolder() + QStringLiteral("/Txt/");
}

QString uVornik::recordFileName(const QString& title) {
    QString name = title;
    name.remove(kCrLf);
    name.replace(u'/', QStringLiteral("【正斜线】"));
    name.replace(u'|', QStringLiteral("【或竖线】"));
    // An empty title would make a hidden ".txt".
    if (name.isEmpty())
        name = QStringLiteral("（无标题）");
    return name + QStringLiteral(".txt");
}

void uVornik::ExportTitles() {
    const Snapshot s = snapshot();
    if (s.rows == 0) {
        ShowStatus(QStringLiteral("导出文件名 失败：结果列表是空的，请先查询"));
        return;
    }
    QString text;
    for (qsizetype i = 0; i < s.rows; ++i)
        text += s.names.at(i) + kCrLf;

    const QString path = titlesFilePath();
    QString failed;
    // Without a GBK converter the titles cannot be written as the file's readers expect.
    if (const std::optional<QByteArray> bytes = tryToGbk(text, &failed)) {
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            failed = QStringLiteral("无法创建文件夹");
        else
            failed = writeFileAtomically(path, *bytes);
    }
    if (!failed.isEmpty()) {
        ShowStatus(QStringLiteral("导出文件名 失败：无法写入 %1：%2").arg(path, failed));
        return;
    }
    if (!desktop().openUrl(QUrl::fromLocalFile(path))) {
        ShowStatus(QStringLiteral("导出文件名 完毕！无法用文本编辑器打开 %1").arg(path));
        return;
    }
    ShowStatus(QStringLiteral("导出文件名 完毕！"));
}

void uVornik::ExportAll() {
    const Snapshot s = snapshot();
    if (s.rows == 0) {
        ShowStatus(QStringLiteral("导出所有TXT 失败：结果列表是空的，请先查询"));
        return;
    }
    const QString folder = exportFolderPath();
    if (!QDir().mkpath(folder)) {
        ShowStatus(QStringLiteral("导出所有TXT 失败：无法创建文件夹 %1").arg(folder));
        return;
    }

    int failures = 0;
    QString lastFailure;
    QElapsedTimer slice;
    slice.start();
    for (qsizetype i = 0; i < s.rows; ++i) {
        const QString path = folder + recordFileName(s.names.at(i));
        QString failed;
        const QString content = i < s.data.size() ? s.data.at(i) : mPublic::kNoContent;
        if (const std::optional<QByteArray> bytes = tryToGbk(content + kCrLf, &failed))
            failed = writeFileAtomically(path, *bytes);
        if (!failed.isEmpty()) {
            ++failures;
            lastFailure = QStringLiteral("error,") + failed + QStringLiteral(" sPath=[") + path + u']';
            ShowStatus(lastFailure);
        }
        if (slice.elapsed() >= kExportSliceMs) {
            QCoreApplication::processEvents();
            slice.restart();
        }
    }

    QString done = QStringLiteral("导出所有TXT 完毕！");
    if (failures > 0)
        done += QStringLiteral("其中 %1 个文件没有写成，最后一个：%2").arg(failures).arg(lastFailure);
    if (!desktop().openUrl(QUrl::fromLocalFile(folder)))
        done += QStringLiteral("无法用文件管理器打开 %1").arg(folder);
    ShowStatus(done);
}
