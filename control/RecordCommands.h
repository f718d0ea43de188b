#pragma once
// The record commands of the result list's popup menu: add, delete and modify the selected record,
// and export the listed titles or the listed records to text files next to the control library.
// Each is a command of the CommandGate: it runs alone, and is refused while a load lists.
#include "control/CommandGate.h"
#include "util/Co.h"
#include "util/Lifetime.h"
#include "util/TextColumn.h"

#include <QPoint>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class Session;
class FolderHandle;
class Handlers;
class HistoryWindows;
class ListBox;
class QAction;
class QCheckBox;
class QMenu;
class QWidget;
class ResultLoader;
struct ResultSet;
class StatusLine;

class RecordCommands {
public:
    RecordCommands(StatusLine& status, ListBox* list, QMenu* menu, const std::array<QAction*, 8>& entries,
                   QCheckBox* titlesOnly, CommandGate& gate, Session& session, ResultLoader& loader,
                   ResultSet& results, QWidget* dialogParent, Handlers& handlers);

    // A released right button opens the popup at `globalPos`; "导出所有TXT" is offered only while
    // titles-only is off, "历史版本…" only where the history is installed. The selection is not changed.
    void List1_MouseUp(Qt::MouseButton button, const QPoint& globalPos);
    // Runs the popup entry numbered `entry` (a MenuEntry, control/Choices.h).
    void Menu_Click(int entry);
    // The add form, modal; also the test panel's "增加TXT". Started as a handler: returns at once.
    void AddTxt();
    // Opens the modify form for the selected row, or says that none is selected. Started as a handler.
    void ModiTxt();
    // Asks, then deletes the selected row's record, and says on the status line how it went. Started
    // as a handler: returns at once.
    void DeleteTxt();
    // The titles file: one line per listed title, CR LF ended, opened in the text editor. Started as
    // a handler.
    void ExportTitles();
    // One file per listed row in the export folder (contents not held are fetched by id first),
    // shown in the file manager afterwards. Started as a handler: the window runs between slices.
    void ExportAll();

    // Called once a listed row shows what is now stored after a save (`removed` false) or has left
    // the list and the result after a delete (true).
    void setRowEdited(std::function<void(int row, bool removed)> edited) { rowEdited_ = std::move(edited); }
    // The history's windows, which "历史版本…" opens.
    void setHistory(HistoryWindows* history) { history_ = history; }
    // After record `id` was stored by a command holding `pass` (a restore): the first row listing it
    // shows what is now stored, as after a modify. Awaited by the holder of `pass`.
    Co<> showStoredRecord(QString id, const CommandGate::Pass& pass);
    // Opens the selected record's versions, or says that none is selected. Started as a handler.
    void History();

    // The folder and name (no extension) of the control library, and the files written beside it.
    // Where the library's folder cannot be written (an installed library), the exports go to the
    // user's data folder instead.
    static QString libraryFolder();
    static QString libraryName();
    static QString exportBaseFolder();
    static QString titlesFilePath();
    static QString exportFolderPath();

private:
    // The popup, once whether the history is offered is known.
    Co<> popup(QPoint globalPos);
    Co<> addTxt();
    Co<> modiTxt();
    Co<> deleteTxt();
    Co<> exportTitles();
    Co<> exportAll();
    Co<> history();
    // The selected row, its id and title; false when no listed row with an id is selected.
    bool selectedRecord(int* row, QString* id, QString* title) const;
    // After a save of record `id` listed in `row`: the row shows what is now stored (read anew), or
    // leaves the list when it is stored no more. Awaited by the holder of `pass`.
    Co<> showStored(int row, QString id, const CommandGate::Pass& pass);
    // Row `row` of record `id` reads `stored` (title, contents) from now on, or leaves the list and the
    // result when there is none; nothing when the row no longer lists that record.
    void editRow(int row, const QString& id, const std::optional<std::pair<QString, QString>>& stored);
    using Contents = std::vector<std::optional<QString>>;
    // The listed rows' contents, fetched by id where the result holds only placeholders; a row
    // whose record is gone has none. Awaited by the holder of `pass`.
    Co<Result<Contents>> fetchContents(TextColumn ids, qsizetype rows, const CommandGate::Pass& pass);

    struct ExportTally {
        int written = 0;
        int skipped = 0;
        int failures = 0;
        int gb18030Files = 0;
        QString lastProblem;
    };
    // Writes the listed rows' files into `txt` (shown as `folder`), each under a name of its own; a row
    // without contents (its record gone) is skipped. Lets the window run between slices, and stops
    // when `pass` is superseded meanwhile. Awaited by the holder of `txt` and `pass`.
    Co<ExportTally> writeRecordFiles(const FolderHandle& txt, QString folder, TextColumn names,
                                     TextColumn ids, Contents contents, const CommandGate::Pass& pass);

    StatusLine& status_;
    ListBox* list_;
    QMenu* menu_;
    std::array<QAction*, 8> entries_;
    QCheckBox* titlesOnly_;
    CommandGate& gate_;
    Session& session_;
    ResultLoader& loader_;
    ResultSet& results_;
    QWidget* dialogParent_;
    Handlers& handlers_;
    std::function<void(int, bool)> rowEdited_;
    HistoryWindows* history_ = nullptr;
    bool popupWaits_ = false; // a popup waits for the history's answer
    // Expires with the commands: what a handler holding no pass checks after a wait.
    Lifetime lifetime_;
};
