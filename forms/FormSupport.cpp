#include "forms/FormSupport.h"

#include "database/Recordset.h"
#include "database/Session.h"
#include "ui/ScreenFit.h"
#include "ui/Twips.h"
#include "util/LineEnds.h"

#include <QScreen>
#include <QTextDocument>
#include <QWidget>

namespace forms {

Qt::WindowFlags fixedDialogFlags() {
    return Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
}

void placeOnScreen(QWidget* form) {
    const QScreen* screen = form->screen();
    if (!screen)
        return;
    const QRect s = screen->geometry();
    const QSize f = form->frameGeometry().size();
    // Worked out in twips and single precision, like the design sizes, then kept within the screen's
    // free area (RecordForm shrinks a form larger than that).
    const float left =
        (static_cast<float>(pixelsToTwips(s.width())) - static_cast<float>(pixelsToTwips(f.width()))) / 2.0f;
    const float top =
        (static_cast<float>(pixelsToTwips(s.height())) - static_cast<float>(pixelsToTwips(f.height()))) /
        3.0f;
    form->move(keptOnScreen(form, QPoint(s.x() + twipsToPixels(left), s.y() + twipsToPixels(top))));
}

void adoptParent(QWidget* form, QWidget* parent) {
    if (!parent || form->parentWidget() == parent)
        return;
    form->setParent(parent, form->windowFlags());
    placeOnScreen(form);
}

QString toStoredText(const QString& shown) {
    return storedLineEnds(shown);
}

QString toShownText(const QString& stored) {
    return shownLineEnds(stored);
}

QString plainText(const QTextDocument* document) {
    QString text = document->toRawText();
    for (QChar& ch : text) {
        switch (ch.unicode()) {
        case 0xfdd0: // beginning of a frame
        case 0xfdd1: // end of a frame
        case QChar::ParagraphSeparator:
        case QChar::LineSeparator:
            ch = u'\n';
            break;
        default:
            break;
        }
    }
    return text;
}

Transaction::~Transaction() {
    if (active_ && conn_ && conn_->isOpen() && conn_->inTransaction())
        conn_->rollbackDetached(); // its own failure changes nothing: the transaction is over either way
}

// The guard lives in the awaiting caller's frame, so it is still there when these resume.
Co<Status> Transaction::begin() {
    if (!conn_)
        co_return noConnectionError();
    const Status s = co_await conn_->begin();
    active_ = s.ok();
    co_return s;
}

Co<Status> Transaction::commit() {
    if (!conn_)
        co_return noConnectionError();
    const Status s = co_await conn_->commit();
    if (s)
        active_ = false;
    co_return s;
}

Error noConnectionError() {
    return Error{Error::kProviderError, QStringLiteral("数据库连接对象不存在"), 0};
}

Co<QPointer<Connection>> openedConnection() {
    const Result<Session::Opened> opened = co_await sharedSession().openIfNeeded();
    (void)opened;
    co_return QPointer<Connection>(sharedSession().connection());
}

Co<Status> noWarnings(QPointer<Connection> conn) {
    if (!conn)
        co_return noConnectionError();
    Recordset rs;
    const QString warnings = QStringLiteral("SHOW WARNINGS");
    const Status read = co_await rs.open(warnings, SqlParams(), *conn);
    if (!read)
        co_return read;
    QStringList problems;
    for (qint64 i = 0; i < rs.RecordCount(); ++i, rs.MoveNext()) {
        const Result<QString> level = rs.text(QStringLiteral("Level"));
        const Result<QString> message = rs.text(QStringLiteral("Message"));
        if (level && message && level.value().compare(QStringLiteral("Note"), Qt::CaseInsensitive) != 0)
            problems << message.value();
    }
    if (problems.isEmpty())
        co_return Status();
    co_return Error{Error::kProviderError,
                    QStringLiteral("服务器没有原样保存数据（%1），本次写入已撤销")
                        .arg(problems.join(QStringLiteral("；"))),
                    0};
}

} // namespace forms
