#pragma once
// The add-record dialog: a title and a body become a new row of SearchTxt_Data with a fresh record
// id and the current time. After a successful add the boxes are emptied and the form stays open
// for the next record; the user closes it with the close box.
#include "forms/RecordForm.h"
#include "util/SharedInstance.h"
#include "util/Status.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

class FrmAdd : public forms::RecordForm, public SharedInstance<FrmAdd> {
    Q_OBJECT
public:
    // instance() and unload() come from SharedInstance.
    // Shows the shared form modal over `parent`'s window; finishes when the user has closed it,
    // and unloads it then, so the next opening starts afresh.
    static Co<> showModal(QWidget* parent = nullptr);

    explicit FrmAdd(QWidget* parent = nullptr);

    // A record id for the clock's present moment: "yyyyMMddhhmmss" followed by the seconds since
    // midnight rounded to a whole number (a half rounds up), five digits, 00000 to 86400. Unique
    // to the second only: an add whose id another add of the same second has taken waits for the
    // next second and tries again with its id, a few times, before it reports the failure with the
    // user's text kept.
    static QString newRecordId();

    // Starts the add as a handler of the form (see handlers()).
    void CmdAddNew_Click() { save(); }
    bool hasChanges() const override;

    QLineEdit* txtTitle;
    QTextEdit* RtbData;
    QPushButton* CmdAddNew;
    QLabel* Label1;

private:
    Co<> write() override;
    // Adds `title` and `body` under a new id, trying a later second's id while the id is taken.
    // Static, as every coroutine below: the form may be gone by a later try, which touches nothing of it.
    static Co<Status> addRecord(QString title, QString body);
    // One transaction that inserts the record under `id`; rolled back unless it commits.
    static Co<Status> addOnce(QString id, QString title, QString body);
};
