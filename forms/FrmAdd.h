#pragma once
// The add-record dialog: a title and a body become a new row of SearchTxt_Data with a fresh record
// id and the current time. After a successful add the boxes are emptied and the form stays open
// for the next record; the user closes it with the close box.
#include "database/DbError.h"
#include "util/ProportionalLayout.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

class FrmAdd : public QDialog {
    Q_OBJECT
public:
    // The one shared instance, loaded (constructed) on first use.
    static FrmAdd* instance();
    // Unloads the shared instance; the next instance() loads a fresh one.
    static void unload();
    // Shows the shared form modally over `parent`'s window; returns when the user has closed it,
    // and unloads it then, so the next opening starts afresh.
    static void showModal(QWidget* parent = nullptr);

    explicit FrmAdd(QWidget* parent = nullptr);

    // A record id for the clock's present moment: "yyyyMMddhhmmss" followed by the seconds since
    // midnight rounded to a whole number (a half rounds up), five digits, 00000 to 86400. Unique
    // to the second only: a second add within the same second is refused by the table's key and
    // takes the error path, the user's text kept.
    static QString newRecordId();

    void CmdAddNew_Click();

    QLineEdit* txtTitle;
    QTextEdit* RtbData;
    QPushButton* CmdAddNew;
    QLabel* Label1;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    void Form_Load();
    DbStatus addRecord();

    ProportionalLayout layout_;
    bool busy_ = false;
};
