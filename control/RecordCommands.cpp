#include "control/RecordCommands.h"

#include "control/Choices.h"
#include "control/HistoryWindow.h"
#include "control/ListBox.h"
#include "control/ResultLoader.h"
#include "control/ResultSet.h"
#include "control/StatusLine.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"
#include "forms/FormOpener.h"
#include "forms/FormSupport.h"
#include "ui/Desktop.h"
#include "ui/MessageBoxes.h"
#include "util/Await.h"
#include "util/BackgroundRelease.h"
#include "util/ExportName.h"
#include "util/Gbk.h"
#include "util/Handlers.h"
#include "util/ModulePath.h"
#include "util/WholeFile.h"

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QMenu>
#include <QStandardPaths>

namespace {

// The exports let the window breathe about once a frame.
constexpr qint64 kExportSliceMs = 16;
// Ids bound to one statement that fetches contents (the server takes up to 65,535 placeholders).
constexpr qsizetype kIdsPerFetch = 60000;

const QString kCrLf = QStringLiteral("\r\n");

} // namespace

RecordCommands::RecordCommands(StatusLine& status, ListBox* list, QMenu* menu,
                               const std::array<QAction*, 8>& entries, QCheckBox* titlesOnly,
                               CommandGate& gate, Session& session, ResultLoader& loader, ResultSet& results,
                               QWidget* dialogParent, Handlers& handlers)
    : status_(status), list_(list), menu_(menu), entries_(entries), titlesOnly_(titlesOnly), gate_(gate),
      session_(session), loader_(loader), results_(results), dialogParent_(dialogParent),
      handlers_(handlers) {}

bool RecordCommands::selectedRecord(int* row, QString* id, QString* title) const {
    const int p = list_->selectedRow();
    if (p < 0 || p >= list_->count() || p >= results_.ids.size() || p >= results_.names.size())
        return false;
    *row = p;
    *id = results_.ids.at(p);
    *title = results_.names.at(p);
    return !id->isEmpty();
}

void RecordCommands::List1_MouseUp(Qt::MouseButton button, const QPoint& globalPos) {
    // A right click while the server is asked about the history opens no second popup.
    if (button != Qt::RightButton || popupWaits_)
        return;
    handlers_.start(popup(globalPos));
}

Co<> RecordCommands::popup(QPoint globalPos) {
    // Asked of the server once per login, so usually known at once.
    bool history = false;
    if (history_) {
        const Lifetime::Watch alive = lifetime_.watch();
        popupWaits_ = true;
        history = co_await history_->available();
        if (alive.expired())
            co_return;
        popupWaits_ = false;
    }
    entries_[index(MenuEntry::ExportAll)]->setVisible(!titlesOnly_->isChecked());
    entries_[index(MenuEntry::HistorySeparator)]->setVisible(history);
    entries_[index(MenuEntry::History)]->setVisible(history);
    menu_->popup(globalPos);
}

void RecordCommands::Menu_Click(int entry) {
    switch (static_cast<MenuEntry>(entry)) {
    case MenuEntry::AddTxt:
        AddTxt();
        break;
    case MenuEntry::DeleteTxt:
        DeleteTxt();
        break;
    case MenuEntry::ModiTxt:
        ModiTxt();
        break;
    case MenuEntry::ExportTitles:
        ExportTitles();
        break;
    case MenuEntry::ExportAll:
        ExportAll();
        break;
    case MenuEntry::History:
        History();
        break;
    default:
        break;
    }
}

void RecordCommands::AddTxt() {
    handlers_.start(addTxt());
}

void RecordCommands::ModiTxt() {
    handlers_.start(modiTxt());
}

void RecordCommands::DeleteTxt() {
    handlers_.start(deleteTxt());
}

void RecordCommands::ExportTitles() {
    handlers_.start(exportTitles());
}

void RecordCommands::ExportAll() {
    handlers_.start(exportAll());
}

Co<> RecordCommands::addTxt() {
    if (const auto pass = gate_.enter(CommandGate::Kind::Command, QStringLiteral("增加TXT")))
        co_await formOpener().showAdd(dialogParent_);
}

Co<> RecordCommands::modiTxt() {
    int row = -1;
    QString id;
    QString title;
    if (!selectedRecord(&row, &id, &title)) {
        const QString text = QStringLiteral("请选择需要修改的TXT");
        co_await messageBoxes().informationBox(dialogParent_, text);
        co_return;
    }
    // A record that cannot be loaded is reported by the form itself, naming the id and the reason.
    const auto pass = gate_.enter(CommandGate::Kind::Command, QStringLiteral("修改TXT"));
    if (!pass)
        co_return;
    const ModifyOutcome outcome = co_await formOpener().showModify(id, dialogParent_);
    if (pass->superseded()) // the control went while the form was shown
        co_return;
    if (outcome == ModifyOutcome::Saved)
        co_await showStored(row, id, *pass);
}

void RecordCommands::History() {
    handlers_.start(history());
}

Co<> RecordCommands::history() {
    int row = -1;
    QString id;
    QString title;
    if (!history_)
        co_return;
    if (!selectedRecord(&row, &id, &title)) {
        const QString text = QStringLiteral("请选择需要查看历史版本的TXT");
        co_await messageBoxes().informationBox(dialogParent_, text);
        co_return;
    }
    history_->showVersions(id, title);
}

Co<> RecordCommands::showStoredRecord(QString id, const CommandGate::Pass& pass) {
    const TextColumn ids = results_.ids;
    const qsizetype rows = std::min<qsizetype>(list_->count(), ids.size() - 1);
    for (qsizetype row = 0; row < rows; ++row) {
        if (ids.view(row) == id) {
            co_await showStored(int(row), id, pass);
            co_return;
        }
    }
}

Co<> RecordCommands::showStored(int row, QString id, const CommandGate::Pass& pass) {
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    (void)opened;
    if (pass.superseded())
        co_return;
    const QPointer<Connection> conn = session_.connection();
    Status read = forms::noConnectionError();
    Recordset rs;
    if (conn) {
        const QString byIdRead = QStringLiteral("select `name`,`data` from searchtxt_data where `dataid`=?");
        const SqlParams byId{id}; // bound before the wait (util/Co.h, rule 9)
        read = co_await rs.open(byIdRead, byId, *conn, pass.cancellation());
        if (pass.superseded())
            co_return;
    }
    if (!read) {
        status_.ShowStatus(
            QStringLiteral("修改已保存，但无法重新读取记录 %1：%2").arg(id, read.description()));
        co_return;
    }
    if (rs.RecordCount() < 1) {
        editRow(row, id, std::nullopt); // deleted by someone else right after the save
        co_return;
    }
    editRow(row, id,
            std::pair{rs.textAt(0, rs.fieldIndex(QStringLiteral("name"))).value_or(QString()),
                      rs.textAt(0, rs.fieldIndex(QStringLiteral("data"))).value_or(QString())});
}

void RecordCommands::editRow(int row, const QString& id,
                             const std::optional<std::pair<QString, QString>>& stored) {
    ResultSet& r = results_;
    if (row < 0 || row >= list_->count() || row >= r.ids.size() - 1 || r.ids.at(row) != id)
        return; // the result was replaced meanwhile
    // The old columns go last, on a pool thread: a large result's buffers are let go of there.
    const TextColumn names = r.names, data = r.data, ids = r.ids;
    const auto text = [&](QString value) { return stored ? std::optional(std::move(value)) : std::nullopt; };
    r.names = names.edited(row, text(stored ? stored->first : QString()));
    r.data = data.edited(row, text(!stored          ? QString()
                                   : r.contentsHeld ? stored->second
                                                    : ResultSet::kNoContent));
    if (!stored)
        r.ids = ids.edited(row, std::nullopt);
    if (stored)
        list_->changeRow(row, r.names);
    else
        list_->removeRow(row, r.names);
    for (TextColumn old : {names, data, ids})
        background::releaseLater(std::move(old));
    if (rowEdited_)
        rowEdited_(row, !stored);
}

Co<> RecordCommands::deleteTxt() {
    int row = -1;
    QString id;
    QString title;
    if (!selectedRecord(&row, &id, &title)) {
        const Lifetime::Watch alive = lifetime_.watch();
        const QString text = QStringLiteral("请选择需要删除的TXT");
        co_await messageBoxes().informationBox(dialogParent_, text);
        if (!alive.expired())
            status_.ShowStatus(QStringLiteral("没有删除：未选择TXT"));
        co_return;
    }
    const auto pass = gate_.enter(CommandGate::Kind::Command, QStringLiteral("删除TXT"));
    if (!pass)
        co_return;
    // The record named in the question is the one deleted, whatever the list shows by then.
    const QString question = QStringLiteral("将要删除以下信息，请确定！") + kCrLf + QStringLiteral("ID:") +
                             id + kCrLf + QStringLiteral("标题：") + title;
    const MessageBoxes::Answer answer = co_await messageBoxes().questionBox(dialogParent_, question);
    if (pass->superseded()) // the control went while the question was asked
        co_return;
    if (answer != MessageBoxes::Answer::Ok) {
        status_.ShowStatus(QStringLiteral("已取消删除"));
        co_return;
    }
    const QString failed = QStringLiteral("删除失败，Error:");

    // The connection may have been dropped since the search (server restart, 60 s gone by): open it
    // again with the held account rather than fail on a closed one.
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    (void)opened;
    if (pass->superseded())
        co_return;
    const QPointer<Connection> conn = session_.connection();
    if (!conn) {
        status_.ShowStatus(failed + QStringLiteral("数据库连接对象不存在"));
        co_return;
    }
    const QString remove = QStringLiteral("delete from searchtxt_data where dataid=?");
    const SqlParams byId{id}; // bound before the wait (util/Co.h, rule 9)
    const Result<quint64> affected = co_await conn->execute(remove, byId);
    if (pass->superseded())
        co_return;
    if (!affected) {
        status_.ShowStatus(failed + affected.error().description);
        co_return;
    }
    // Deleted now or already: either way the record is stored no more, and leaves the list.
    editRow(row, id, std::nullopt);
    status_.ShowStatus(affected.value() == 0
                           ? failed + QStringLiteral("找不到 ID:%1 的记录，可能已被其他用户删除").arg(id)
                           : QStringLiteral("删除成功"));
}

QString RecordCommands::libraryFolder() {
    return QFileInfo(moduleFilePath()).absolutePath();
}

QString RecordCommands::libraryName() {
    return QFileInfo(moduleFilePath()).completeBaseName();
}

QString RecordCommands::exportBaseFolder() {
    const QString folder = libraryFolder();
    if (QFileInfo(folder).isWritable())
        return folder;
    // An installed library sits in a system folder that users cannot write to.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/vornik");
}

QString RecordCommands::titlesFilePath() {
    return exportBaseFolder() + u'/' + libraryName() + QStringLiteral(".txt");
}

QString RecordCommands::exportFolderPath() {
    return exportBaseFolder() + QStringLiteral("/Txt/");
}

Co<> RecordCommands::exportTitles() {
    const auto pass = gate_.enter(CommandGate::Kind::Command, QStringLiteral("导出文件名"));
    if (!pass)
        co_return;
    const TextColumn names = results_.names;
    const qsizetype rows = std::min<qsizetype>(list_->count(), std::max<qsizetype>(names.size() - 1, 0));
    const QString failedPrefix = QStringLiteral("导出文件名 失败：");
    if (rows == 0) {
        status_.ShowStatus(failedPrefix + QStringLiteral("结果列表是空的，请先查询"));
        co_return;
    }
    QString text;
    QElapsedTimer slice;
    slice.start();
    for (qsizetype i = 0; i < rows; ++i) {
        text += names.view(i);
        text += kCrLf;
        if (slice.elapsed() >= kExportSliceMs) {
            co_await await::nextTurn();
            if (pass->superseded()) // the control went meanwhile
                co_return;
            slice.restart();
        }
    }

    const QString path = titlesFilePath();
    bool gb18030 = false;
    const Result<FolderHandle> folder = openWritableFolder(exportBaseFolder());
    Status written = folder.status();
    if (written) {
        const Result<AnsiBytes> ansi = toAnsiBytes(text);
        written = ansi ? writeWholeFileAt(folder.value(), QFileInfo(path).fileName(), ansi.value().bytes)
                       : ansi.status();
        gb18030 = ansi && ansi.value().usedGb18030;
    }
    if (!written) {
        status_.ShowStatus(failedPrefix + written.description());
        co_return;
    }
    QString done = QStringLiteral("导出文件名 完毕！");
    if (gb18030)
        done += QStringLiteral("GBK 无法表示的字符按 GB18030 写入。");
    if (!desktop().openUrl(QUrl::fromLocalFile(path)))
        done += QStringLiteral("无法用文本编辑器打开 %1").arg(path);
    status_.ShowStatus(done);
}

Co<Result<RecordCommands::Contents>> RecordCommands::fetchContents(TextColumn ids, qsizetype rows,
                                                                   const CommandGate::Pass& pass) {
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    if (pass.superseded())
        co_return cancelledError(QStringLiteral("导出已中止"));
    if (!opened)
        co_return Status::failure(QStringLiteral("连接数据库 错误:") + opened.status().description());
    QHash<QString, QString> byId;
    for (qsizetype first = 0; first < rows; first += kIdsPerFetch) {
        const QPointer<Connection> conn = session_.connection();
        if (!conn)
            co_return forms::noConnectionError();
        const qsizetype count = std::min(kIdsPerFetch, rows - first);
        SqlParams params;
        params.reserve(count);
        for (qsizetype i = first; i < first + count; ++i)
            params << ids.at(i);
        const QStringList marks(count, QStringLiteral("?"));
        const QString fetch =
            QStringLiteral("select `dataid`,`data` from searchtxt_data where `dataid` in (%1)")
                .arg(marks.join(u','));
        Recordset rs;
        const Status read = co_await rs.open(fetch, params, *conn, pass.cancellation());
        if (pass.superseded())
            co_return cancelledError(QStringLiteral("导出已中止"));
        if (!read)
            co_return read.error();
        // A NULL body is an empty text here, as in the viewer.
        const TextColumn gotIds = rs.column(rs.fieldIndex(QStringLiteral("dataid")));
        const TextColumn gotData = rs.column(rs.fieldIndex(QStringLiteral("data")));
        for (qsizetype r = 0; r < rs.RecordCount(); ++r)
            byId.insert(gotIds.at(r), gotData.at(r));
    }
    Contents contents(static_cast<std::size_t>(rows), std::nullopt);
    for (qsizetype i = 0; i < rows; ++i) {
        const auto found = byId.constFind(ids.at(i));
        if (found != byId.constEnd())
            contents[static_cast<std::size_t>(i)] = found.value();
    }
    co_return contents;
}

Co<RecordCommands::ExportTally> RecordCommands::writeRecordFiles(const FolderHandle& txt, QString folder,
                                                                 TextColumn names, TextColumn ids,
                                                                 Contents contents,
                                                                 const CommandGate::Pass& pass) {
    ExportTally t;
    QElapsedTimer slice;
    slice.start();
    ExportNames fileNames;
    for (qsizetype i = 0; i < qsizetype(contents.size()); ++i) {
        const QString name = fileNames.take(names.at(i));
        const QString path = folder + name;
        const std::optional<QString>& content = contents[static_cast<std::size_t>(i)];
        if (!content) {
            // The record has gone since it was listed: its earlier export, if any, stays as it was.
            ++t.skipped;
            t.lastProblem = QStringLiteral("ID:%1 的记录已不存在，没有导出 sPath=[%2]").arg(ids.at(i), path);
            status_.ShowStatus(t.lastProblem);
            continue;
        }
        const Result<AnsiBytes> ansi = toAnsiBytes(*content + kCrLf);
        const Status written = ansi ? writeWholeFileAt(txt, name, ansi.value().bytes) : ansi.status();
        if (written) {
            ++t.written;
            t.gb18030Files += ansi.value().usedGb18030 ? 1 : 0;
        } else {
            ++t.failures;
            t.lastProblem =
                QStringLiteral("error,") + written.description() + QStringLiteral(" sPath=[") + path + u']';
            status_.ShowStatus(t.lastProblem);
        }
        if (slice.elapsed() >= kExportSliceMs) {
            co_await await::nextTurn(); // paints the status line and lets the window take input
            if (pass.superseded())
                co_return t;
            slice.restart();
        }
    }
    co_return t;
}

Co<> RecordCommands::exportAll() {
    const auto pass = gate_.enter(CommandGate::Kind::Command, QStringLiteral("导出所有TXT"));
    if (!pass)
        co_return;
    const TextColumn names = results_.names;
    const TextColumn data = results_.data;
    const TextColumn ids = results_.ids;
    const bool contentsHeld = results_.contentsHeld;
    const qsizetype rows =
        std::min<qsizetype>(list_->count(), std::max<qsizetype>(std::min(names.size(), ids.size()) - 1, 0));
    const QString failedPrefix = QStringLiteral("导出所有TXT 失败：");
    if (rows == 0) {
        status_.ShowStatus(failedPrefix + QStringLiteral("结果列表是空的，请先查询"));
        co_return;
    }
    // Opened once: every file goes through this handle, so a folder swapped in meanwhile (for a link
    // to somewhere else) is never written to.
    const Result<FolderHandle> base = openWritableFolder(exportBaseFolder());
    const Result<FolderHandle> txt =
        base ? openOwnSubfolder(base.value(), QStringLiteral("Txt")) : Result<FolderHandle>(base.error());
    if (!txt) {
        status_.ShowStatus(failedPrefix + txt.error().description);
        co_return;
    }
    const QString folder = exportFolderPath();

    // Never the placeholder as a record's content: what the result does not hold is fetched by id.
    Contents contents;
    if (contentsHeld) {
        for (qsizetype i = 0; i < rows; ++i)
            contents.emplace_back(data.value(i));
    } else {
        Result<Contents> fetched = co_await fetchContents(ids, rows, *pass);
        if (pass->superseded()) // the control went meanwhile
            co_return;
        if (!fetched) {
            status_.ShowStatus(failedPrefix + fetched.status().description());
            co_return;
        }
        contents = std::move(fetched.value());
    }

    const ExportTally t =
        co_await writeRecordFiles(txt.value(), folder, names, ids, std::move(contents), *pass);
    if (pass->superseded())
        co_return;
    QString done = QStringLiteral("导出所有TXT 完毕！写入 %1 个，跳过 %2 个，失败 %3 个。")
                       .arg(t.written)
                       .arg(t.skipped)
                       .arg(t.failures);
    if (t.gb18030Files > 0)
        done += QStringLiteral("其中 %1 个含 GBK 无法表示的字符，按 GB18030 写入。").arg(t.gb18030Files);
    if (!t.lastProblem.isEmpty())
        done += QStringLiteral("最后一个问题：") + t.lastProblem;
    if (!desktop().openUrl(QUrl::fromLocalFile(folder)))
        done += QStringLiteral("无法用文件管理器打开 %1").arg(folder);
    status_.ShowStatus(done);
}
