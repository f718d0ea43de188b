// The control panel, the test panel and the splitter: their commands, gestures and drags.
#include "control/uVornik.h"

#include "database/ConnDatabase.h"
#include "database/FrmDataBaseLogin.h"
#include "database/Shared.h"
#include "forms/FormOpener.h"
#include "util/Clock.h"
#include "util/Desktop.h"
#include "util/MessageBoxes.h"
#include "util/Twips.h"

#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTextEdit>

namespace {

// The host of the driver download page; the path is the page of the 3.51 driver.
const QString kDriverDownloadHost = QStringLiteral("dev.mysql.com");
const QString kDriverDownloadPath = QStringLiteral("/downloads/connector/odbc/3.51.html");

const QString kBusy = QStringLiteral("服务器太忙，请稍后再试，ERROR:");

// The splitter's limits, in twips: the viewer stays higher than this, and so does the list.
constexpr int kMinViewerHeight = 450;
constexpr int kMinListHeight = 550;

} // namespace

QString uVornik::defaultDateTimeText(const QDateTime& at) {
    return QLocale::system().toString(at.date(), QLocale::ShortFormat) + u' ' +
           at.time().toString(QStringLiteral("H:mm:ss"));
}

// ---- control panel ----

QUrl uVornik::driverDownloadUrl() {
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(kDriverDownloadHost);
    url.setPath(kDriverDownloadPath);
    return url;
}

void uVornik::CmdControl_Click(int index) {
    switch (index) {
    case 0:
        if (!desktop().openUrl(driverDownloadUrl()))
            ShowStatus(QStringLiteral("无法用浏览器打开 ") + driverDownloadUrl().toString());
        break;
    case 1: {
        // Forget the account everywhere it is held: the settings, the login dialog's boxes (a
        // cancelled dialog keeps what was typed) and the open connection.
        mConnDatabase::forgetAccount();
        FrmDataBaseLogin::unload();
        QStringList problems;
        QFile file(mConnDatabase::userSettingsPath());
        if (file.exists() && !file.remove())
            problems
                << QStringLiteral("无法删除登录设置文件 %1：%2").arg(file.fileName(), file.errorString());
        if (mPublic::Conn && mPublic::Conn->State() == Connection::kStateOpen) {
            mPublic::Conn->Close();
            if (mPublic::Conn && mPublic::Conn->State() == Connection::kStateOpen)
                problems << QStringLiteral("数据库连接没有关闭");
        }
        if (mPublic::Rs && mPublic::Rs->State() == Connection::kStateOpen)
            mPublic::Rs->Close();
        if (!problems.isEmpty())
            ShowStatus(problems.join(QStringLiteral("；")));
        messageBoxes().information(this, QStringLiteral("已取消用户等信息，请重新登录！"));
        break;
    }
    case 99:
        hidePanel(PicControlS);
        break;
    default:
        break;
    }
}

// ---- test panel ----

void uVornik::CmdTest_Click(int index) {
    QPushButton* button = CmdTest.value(index);
    if (!button)
        return;
    const QString caption = button->text();
    QString failed;
    if (caption.contains(QStringLiteral("连接数据库"))) {
        if (!mPublic::Conn || mPublic::Conn->State() != Connection::kStateOpen) {
            QString errorText;
            const QString result = mConnDatabase::ConnectDatabase(errorText);
            const QString at = defaultDateTimeText(appClock().now());
            if (result == QStringLiteral("True"))
                ShowStatus(QStringLiteral("MYSQL 连接成功！") + at);
            else
                ShowStatus(QStringLiteral("MYSQL 连接失败！\r\nError:") + errorText +
                           QStringLiteral("\r\n---") + at);
        }
    } else if (caption.contains(QStringLiteral("显示数据1"))) {
        failed = listing(true);
    } else if (caption.contains(QStringLiteral("显示数据2"))) {
        failed = listing(false);
    } else if (caption.contains(QStringLiteral("调用Skarvel.EXE"))) {
        const QString program = libraryFolder() + QStringLiteral("/Skarvel");
        if (!QFileInfo(program).isExecutable())
            failed = QStringLiteral("找不到程序 ") + program;
        else if (!desktop().startDetached(program))
            failed = QStringLiteral("无法启动程序 ") + program;
    } else if (caption.contains(QStringLiteral("增加TXT"))) {
        formOpener().showAdd(this);
    }
    if (!failed.isEmpty()) {
        ShowStatus(kBusy + failed);
        return;
    }
    if (index == 99)
        hidePanel(PicTestS);
}

void uVornik::ListAll(bool withContent) {
    const QString failed = listing(withContent);
    if (!failed.isEmpty())
        ShowStatus(kBusy + failed);
}

QString uVornik::listing(bool withContent) {
    const quint64 search = ++m_search;
    QString ignored;
    mConnDatabase::ConnectDatabase(ignored);
    if (superseded(search))
        return {};
    const QString sql = withContent ? QStringLiteral("select `dataid`,`name`,`data` from SearchTxt_Data")
                                    : QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name");
    std::shared_ptr<Recordset> rs;
    const QString failed = runStatement(sql, rs);
    if (superseded(search))
        return {};
    if (!failed.isEmpty())
        return failed;
    // The list and the arrays are replaced only once there is a first row to replace them with.
    if (rs->State() != Connection::kStateOpen)
        return QStringLiteral("对象关闭时，不允许操作");
    if (rs->RecordCount() < 1)
        return QStringLiteral("BOF 或 EOF 中有一个是“真”，或者当前记录已被删除");
    QString error;
    const Load load = loadRows(*rs, search, withContent, &error);
    if (load == Load::Superseded)
        return {};
    if (load == Load::Failed)
        return error;
    ShowStatus(QStringLiteral("loaded OK"));
    return {};
}

void uVornik::TxtTS_DblClick() {
    CmdTestS_Click();
}

void uVornik::TxtTS_KeyUp(int keyCode) {
    if ((keyCode == Qt::Key_Return || keyCode == Qt::Key_Enter) && TxtTS->text() == QStringLiteral("brex"))
        CmdTestS_Click();
}

bool uVornik::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TxtTS) {
        if (event->type() == QEvent::MouseButtonDblClick)
            TxtTS_DblClick();
        else if (event->type() == QEvent::KeyRelease && !static_cast<QKeyEvent*>(event)->isAutoRepeat())
            TxtTS_KeyUp(static_cast<QKeyEvent*>(event)->key());
    }
    return QWidget::eventFilter(watched, event);
}

// ---- dragging ----

// Only the left button alone starts, moves and ends a drag.
void uVornik::beginDrag(DragState& drag, int button, double x, double y) {
    if (button != 1)
        return;
    drag.GrabX = roundHalfEven(x);
    drag.GrabY = roundHalfEven(y);
}

bool uVornik::dragging(const DragState& drag, int button) {
    return button == 1 && drag.GrabX != kNoDrag;
}

void uVornik::endDrag(DragState& drag, int button) {
    if (button == 1)
        drag.GrabX = drag.GrabY = kNoDrag;
}

void uVornik::moveDragged(QWidget* widget, const DragState& drag, int button, double x, double y) {
    if (!dragging(drag, button))
        return;
    // No limits: a panel may be pulled partly or wholly out of sight, and stays there.
    const double left = pixelsToTwips(widget->x()) + x - drag.GrabX;
    const double top = pixelsToTwips(widget->y()) + y - drag.GrabY;
    widget->move(twipsToPixels(left), twipsToPixels(top));
}

void uVornik::PicControlS_MouseDown(int button, int, double x, double y) {
    beginDrag(m_controlDrag, button, x, y);
}

void uVornik::PicControlS_MouseMove(int button, int, double x, double y) {
    moveDragged(PicControlS, m_controlDrag, button, x, y);
}

void uVornik::PicControlS_MouseUp(int button, int, double, double) {
    endDrag(m_controlDrag, button);
}

void uVornik::PicTestS_MouseDown(int button, int, double x, double y) {
    beginDrag(m_testDrag, button, x, y);
}

void uVornik::PicTestS_MouseMove(int button, int, double x, double y) {
    moveDragged(PicTestS, m_testDrag, button, x, y);
}

void uVornik::PicTestS_MouseUp(int button, int, double, double) {
    endDrag(m_testDrag, button);
}

void uVornik::PicSplit_MouseDown(int button, int, double x, double y) {
    beginDrag(m_splitDrag, button, x, y);
}

void uVornik::PicSplit_MouseMove(int button, int, double, double y) {
    if (!dragging(m_splitDrag, button) || y == m_splitDrag.GrabY)
        return;
    const double barTop = pixelsToTwips(PicSplit->y());
    const double barHeight = pixelsToTwips(PicSplit->height());
    const double viewerTop = pixelsToTwips(RTBox->y());
    const double statusTop = pixelsToTwips(TxtTS->y());
    const int newTop = roundHalfEven(barTop + y - m_splitDrag.GrabY);
    // A move that would squeeze either pane is refused; the bar stays at the last accepted place.
    if (!(viewerTop < newTop && newTop - viewerTop > kMinViewerHeight &&
          newTop + barHeight + kMinListHeight < statusTop))
        return;

    setUpdatesEnabled(false);
    const int newTopPx = twipsToPixels(newTop);
    PicSplit->move(PicSplit->x(), newTopPx);
    RTBox->resize(RTBox->width(), newTopPx - RTBox->y());
    const int listTop = PicSplit->y() + PicSplit->height();
    List1->setGeometry(List1->x(), listTop, List1->width(), TxtTS->y() - listTop);
    setUpdatesEnabled(true);
}

void uVornik::PicSplit_MouseUp(int button, int, double, double) {
    endDrag(m_splitDrag, button);
}
