#pragma once
// What the two record forms share: placement, line ends of stored texts, and a transaction that
// rolls itself back.
#include "database/Connection.h"
#include "util/Co.h"

#include <QPointer>
#include <QString>

class QTextDocument;
class QWidget;

namespace forms {

// The window flags of a fixed dialog with a title bar and a close box only.
Qt::WindowFlags fixedDialogFlags();

// Moves `form` to the horizontal centre of its screen, a third of the free height from the top, or as
// near to there as keeps its frame on the screen's free area.
void placeOnScreen(QWidget* form);

// Makes `form` a window of `parent` (so it stays over it and out of the task bar) and places it
// again on the parent's screen. Nothing happens when `parent` is null or already the parent.
void adoptParent(QWidget* form, QWidget* parent);

// Records keep CR LF line ends because Windows clients share the database; the boxes use LF.
QString toStoredText(const QString& shown);
QString toShownText(const QString& stored);

// The document's plain text as typed. QTextDocument::toPlainText turns no-break spaces into
// blanks, which would change a record's text on a round trip; this keeps them.
QString plainText(const QTextDocument* document);

// A transaction on one connection that is rolled back when the guard goes out of scope uncommitted.
// The rollback runs only while the transaction is really active, so a failure that came before
// begin(), or that took the connection down, never raises a second failure in the error path; it is
// sent without waiting (a destructor never waits), and the connection's next statement comes after it.
class Transaction {
public:
    explicit Transaction(Connection* conn) : conn_(conn) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();

    Co<Status> begin();
    Co<Status> commit();

private:
    QPointer<Connection> conn_;
    bool active_ = false;
};

// The error a form reports when the shared connection has gone away under it.
Error noConnectionError();

// The shared session, opened if needed, and its connection (null when there is none). A failed open
// is not reported here: it shows up as the failure of the caller's next statement, with its reason.
Co<QPointer<Connection>> openedConnection();

// Fails when the statement just run on `conn` left warnings. A server outside strict mode stores a
// value it had to cut or change with a mere warning, which would lose the user's text silently; the
// caller rolls the write back instead.
Co<Status> noWarnings(QPointer<Connection> conn);

} // namespace forms
