#pragma once
// The modify-record dialog: shows all eight columns of one record, lets the user change the title,
// keywords, remarks and body, and writes the record back (delete plus insert in one transaction)
// when "保存并关闭" (or Ctrl+S) is pressed. The id, the creator and the creation time are kept as
// loaded; the modification time becomes the time of the save. A body too large for the box is shown
// in a LargeTextView over it, read-only, and saved as loaded.
#include "forms/FormOpener.h"
#include "forms/RecordForm.h"
#include "util/SharedInstance.h"
#include "util/Status.h"
#include "util/TextColumn.h"

#include <QStringList>
#include <QVariantList>

#include <optional>

class LargeTextView;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTextEdit;
class Recordset;

class FrmModi : public forms::RecordForm, public SharedInstance<FrmModi> {
    Q_OBJECT
public:
    // instance() and unload() come from SharedInstance.
    // Loads record `id` into the shared form and shows it modal over `parent`'s window; finishes
    // when the form has closed, and unloads it. NotShown, with nothing shown but a message box, when
    // the record is gone or could not be read.
    static Co<ModifyOutcome> showModal(QString id, QWidget* parent = nullptr);

    explicit FrmModi(QWidget* parent = nullptr);

    // The dataid property: keeps `id` and loads its row into the boxes at once. False when the row
    // is missing or could not be read: the user has been told (naming the id and the reason) and
    // the form has unloaded itself, so the opener must not show it. False too when the form went
    // meanwhile.
    Co<bool> setDataid(QString id);
    QString dataid() const { return dataid_; }

    // Starts the save as a handler of the form (see handlers()).
    void CmdSave_Click() { save(); }
    bool hasChanges() const override;
    // Whether the last save of this form's record went through.
    bool saved() const { return saved_; }

    QLineEdit* txtTitle;
    QLineEdit* TxtDataid;
    QLineEdit* TxtCreator;
    QLineEdit* TxtCreateDatetime;
    QLineEdit* TxtModiDateTime;
    QLineEdit* TxtKeys;
    QPlainTextEdit* TxtDesc;
    QTextEdit* RtbData;
    QPushButton* CmdSave;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
    QLabel* Label8;

private:
    enum class Saved { Done, RowGone, ChangedByOthers, Failed };
    struct SaveOutcome {
        Saved saved = Saved::Failed;
        Error error;
    };
    // What a save compares and writes, taken from the form before it waits.
    struct Edit {
        QString id;
        QVariantList values;
        QStringList loaded;
        TextColumn loadedBody;
    };

    Co<> write() override { return saveAs(false); }
    // Fills the boxes from the row: false (message shown, form unloaded) when there is none or the
    // form went meanwhile.
    Co<Result<bool>> LoadRecord(QString id);
    void showRecord(const Recordset& rs);
    void showBody(const TextColumn& stored);
    // The boxes' texts as the user sees them, to tell whether anything was changed.
    QStringList editableTexts() const;
    // Writes the record back (`restoring`: stores it again under its id after someone deleted it)
    // and says how it went.
    Co<> saveAs(bool restoring);
    Co<> report(SaveOutcome outcome, bool restoring);
    // Asks whether to store the edits again under the record's id, which someone deleted meanwhile.
    Co<> offerRestore();
    static Co<SaveOutcome> saveRecord(Edit edit, bool restoring);
    // The row to write, from the boxes; nothing (with `error` set) when a time cannot be read.
    std::optional<QVariantList> editedRow(Error& error) const;
    static bool rowAsLoaded(const Recordset& rs, const Edit& edit);
    void clearBoxes();
    // Closes the form if shown and lets it go; the next instance() loads a fresh one.
    void unloadForm();
    QWidget* messageParent();

    QString dataid_;
    QStringList loaded_;    // the row's column texts as loaded, to notice changes made by others
    TextColumn loadedBody_; // the body as loaded (its row 0)
    QStringList shownAtLoad_;
    LargeTextView* bodyLarge_;
    bool bodyTooLarge_ = false;
    bool saved_ = false;
};
