#pragma once
// The modify-record dialog: shows all eight columns of one record, lets the user change the title,
// keywords, remarks and body, and writes the record back (delete plus insert in one transaction)
// when "保存并关闭" is pressed. The id, the creator and both times are kept as loaded.
#include "forms/RecordForm.h"
#include "util/SharedInstance.h"
#include "util/Status.h"

#include <QStringList>

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
    // Loads record `id` into the shared form and shows it modally over `parent`'s window; returns
    // when the form has closed, and unloads it. False, with nothing shown but a message box, when
    // the record is gone or could not be read.
    static bool showModal(const QString& id, QWidget* parent = nullptr);

    explicit FrmModi(QWidget* parent = nullptr);

    // The dataid property: keeps `id` and loads its row into the boxes at once. False when the row
    // is missing or could not be read: the user has been told (naming the id and the reason) and
    // the form has unloaded itself, so the opener must not show it.
    bool setDataid(const QString& id);
    QString dataid() const { return dataid_; }

    void CmdSave_Click();

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

    // Fills the boxes from the row; `found` is false (message shown, form unloaded) when there is none.
    Status LoadRecord(const QString& id, bool& found);
    Saved saveRecord(Error& error);
    bool rowAsLoaded(const Recordset& rs) const;
    void clearBoxes();
    // Closes the form if shown and lets it go; the next instance() loads a fresh one.
    void unloadForm();
    QWidget* messageParent();

    QString dataid_;
    QStringList loaded_; // the row's column texts as loaded, to notice changes made by others
};
