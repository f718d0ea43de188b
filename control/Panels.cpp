#include "control/Panels.h"

#include "control/Choices.h"
#include "control/DragFrame.h"
#include "control/HistoryWindow.h"
#include "control/ListBox.h"
#include "control/RecordCommands.h"
#include "control/ResultLoader.h"
#include "control/StatusLine.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"
#include "forms/FrmDataBaseLogin.h"
#include "ui/Desktop.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "util/Clock.h"
#include "util/Handlers.h"
#include "util/WindowSettings.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
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

// "回收站…" shows once the history's answer is known (at once when it was asked before).
Co<> offerTrash(HistoryWindows* history, QPointer<QPushButton> button) {
    const bool installed = co_await history->available();
    if (button)
        button->setVisible(installed);
}

} // namespace

Panels::Panels(StatusLine& status, const Widgets& widgets, CommandGate& gate, Session& session,
               ResultLoader& loader, RecordCommands& commands, HistoryWindows& history, Handlers& handlers)
    : status_(status), w_(widgets), gate_(gate), session_(session), loader_(loader), commands_(commands),
      history_(history), handlers_(handlers) {}

void Panels::Label1_Click() {
    w_.controlPanel->raise();
    w_.controlPanel->show();
    history_.handlers.start(offerTrash(&history_, w_.trashButton));
}

void Panels::CmdTestS_Click() {
    // The panel's own flag, not whether it shows: the control itself may not be shown yet.
    if (w_.testPanel->isHidden())
        w_.testPanel->show();
    else
        hidePanel(w_.testPanel);
    w_.testPanel->raise();
}

void Panels::hidePanel(QWidget* panel) {
    // A hidden panel's focus would otherwise pass to whatever comes next in the tab order (the
    // title line); the search box is where the user goes on.
    const bool hadFocus = panel->isAncestorOf(QApplication::focusWidget());
    panel->hide();
    if (hadFocus)
        w_.searchBox->setFocus();
}

// ---- control panel ----

QUrl Panels::driverDownloadUrl() {
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(kDriverDownloadHost);
    url.setPath(kDriverDownloadPath);
    return url;
}

void Panels::CmdControl_Click(int index) {
    switch (static_cast<ControlButton>(index)) {
    case ControlButton::DriverDownload:
        if (!desktop().openUrl(driverDownloadUrl()))
            status_.ShowStatus(QStringLiteral("无法用浏览器打开 ") + driverDownloadUrl().toString());
        break;
    case ControlButton::LogInAgain:
        handlers_.start(relogin());
        break;
    case ControlButton::Trash:
        history_.showTrash();
        break;
    case ControlButton::Close:
        hidePanel(w_.controlPanel);
        break;
    default:
        break;
    }
}

Co<> Panels::relogin() {
    // Nothing opened or read under the old account survives: searches and views stop, an open still
    // in progress is cancelled with the connection, and the account is forgotten wherever it is held
    // (the settings, the remembered login, the login dialog's boxes).
    gate_.cancelLoadsAndLooks();
    history_.forget();
    w_.trashButton->hide();
    const Lifetime::Watch alive = lifetime_.watch();
    Session& session = session_;
    QStringList problems;
    const Status forgotten = co_await session.forgetRememberedLogin();
    if (!forgotten)
        problems << forgotten.description();
    // The account goes also when the control went meanwhile: the user asked for it.
    session.forget();
    FrmDataBaseLogin::unload();
    if (session.connection())
        session.connection()->Close();
    if (alive.expired())
        co_return;
    if (const std::shared_ptr<Recordset>& rs = loader_.rs(); rs->State() == Connection::kStateOpen)
        rs->Close();
    if (!problems.isEmpty())
        status_.ShowStatus(problems.join(QStringLiteral("；")));
    const QString text = QStringLiteral("已取消用户等信息，请重新登录！");
    co_await messageBoxes().informationBox(w_.control, text);
}

// ---- test panel ----

void Panels::CmdTest_Click(int index) {
    handlers_.start(cmdTest(index));
}

Co<> Panels::cmdTest(int index) {
    QPushButton* button = w_.testButtons.value(index);
    if (!button)
        co_return;
    const Lifetime::Watch alive = lifetime_.watch();
    const QString caption = button->text();
    QString failed;
    if (caption.contains(QStringLiteral("连接数据库"))) {
        co_await connectionTest();
    } else if (caption.contains(QStringLiteral("显示数据1")) ||
               caption.contains(QStringLiteral("显示数据2"))) {
        const bool withContent = caption.contains(QStringLiteral("显示数据1"));
        const Status listed = co_await loader_.listing(withContent);
        failed = listed.description();
    } else if (caption.contains(QStringLiteral("调用Skarvel.EXE"))) {
        const QString program = RecordCommands::libraryFolder() + QStringLiteral("/Skarvel");
        if (!QFileInfo(program).isExecutable())
            failed = QStringLiteral("找不到程序 ") + program;
        else if (!desktop().startDetached(program))
            failed = QStringLiteral("无法启动程序 ") + program;
    } else if (caption.contains(QStringLiteral("增加TXT"))) {
        commands_.AddTxt();
    }
    if (alive.expired())
        co_return;
    if (!failed.isEmpty()) {
        status_.ShowStatus(kBusy + failed);
        co_return;
    }
    if (index == ::index(TestButton::Close))
        hidePanel(w_.testPanel);
}

Co<> Panels::connectionTest() {
    if (session_.connection() && session_.connection()->isOpen())
        co_return;
    const auto pass = gate_.enter(CommandGate::Kind::Command, QStringLiteral("连接数据库"));
    if (!pass)
        co_return;
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    if (pass->superseded()) // the control went while the connection opened
        co_return;
    const QString errorText = opened.status().description();
    const QString at = defaultDateTimeText(appClock().now());
    if (opened && opened.value() == Session::Opened::Opened)
        status_.ShowStatus(QStringLiteral("MYSQL 连接成功！") + at);
    else
        status_.ShowStatus(QStringLiteral("MYSQL 连接失败！\r\nError:") + errorText +
                           QStringLiteral("\r\n---") + at);
}

void Panels::ListAll(bool withContent) {
    handlers_.start(listAll(withContent));
}

Co<> Panels::listAll(bool withContent) {
    const Lifetime::Watch alive = lifetime_.watch();
    const Status listed = co_await loader_.listing(withContent);
    if (alive.expired())
        co_return;
    if (!listed)
        status_.ShowStatus(kBusy + listed.description());
}

void Panels::TxtTS_DblClick() {
    CmdTestS_Click();
}

void Panels::TxtTS_KeyUp(int keyCode) {
    if ((keyCode == Qt::Key_Return || keyCode == Qt::Key_Enter) &&
        w_.statusBox->text() == QStringLiteral("brex"))
        CmdTestS_Click();
}

// ---- dragging ----

const Panels::DragState& Panels::drag(Dragged which) const {
    return drags_[static_cast<int>(which)];
}

// Only the left button alone starts, moves and ends a drag.
void Panels::mouseDown(Dragged which, int button, double x, double y) {
    if (button != 1)
        return;
    DragState& d = drags_[static_cast<int>(which)];
    d.GrabX = roundHalfEven(x);
    d.GrabY = roundHalfEven(y);
}

void Panels::mouseUp(Dragged which, int button) {
    if (button != 1)
        return;
    drags_[static_cast<int>(which)] = {kNoDrag, kNoDrag};
    if (which == Dragged::Splitter && split_) {
        const auto settings = windowSettings();
        settings->setValue(QStringLiteral("control/splitter"), *split_);
        if (const QString failed = saveWindowSettings(*settings); !failed.isEmpty())
            status_.ShowStatus(failed);
    }
}

void Panels::mouseMove(Dragged which, int button, double x, double y) {
    const DragState& d = drag(which);
    if (button != 1 || d.GrabX == kNoDrag)
        return;
    if (which == Dragged::Splitter) {
        moveSplitter(button, y);
        return;
    }
    // No limits: a panel may be pulled partly or wholly out of sight, and stays there.
    QWidget* widget = which == Dragged::ControlPanel ? w_.controlPanel : w_.testPanel;
    const double left = pixelsToTwips(widget->x()) + x - d.GrabX;
    const double top = pixelsToTwips(widget->y()) + y - d.GrabY;
    widget->move(twipsToPixels(left), twipsToPixels(top));
}

void Panels::moveSplitter(int, double y) {
    const DragState& d = drag(Dragged::Splitter);
    if (y == d.GrabY)
        return;
    const int newTop = roundHalfEven(pixelsToTwips(w_.splitter->y()) + y - d.GrabY);
    // A move that would squeeze either pane is refused; the bar stays at the last accepted place.
    if (!splitterFits(newTop))
        return;
    placeSplitter(twipsToPixels(newTop));
    const double viewerTop = w_.viewer->y();
    split_ = (w_.splitter->y() - viewerTop) / std::max(1.0, w_.statusBox->y() - viewerTop);
}

bool Panels::splitterFits(double top) const {
    const double barHeight = pixelsToTwips(w_.splitter->height());
    const double viewerTop = pixelsToTwips(w_.viewer->y());
    const double statusTop = pixelsToTwips(w_.statusBox->y());
    return viewerTop < top && top - viewerTop > kMinViewerHeight &&
           top + barHeight + kMinListHeight < statusTop;
}

void Panels::placeSplitter(int topPx) {
    QWidget* bar = w_.splitter;
    w_.control->setUpdatesEnabled(false);
    bar->move(bar->x(), topPx);
    w_.viewer->resize(w_.viewer->width(), topPx - w_.viewer->y());
    const int listTop = bar->y() + bar->height();
    w_.list->setGeometry(w_.list->x(), listTop, w_.list->width(), w_.statusBox->y() - listTop);
    w_.control->setUpdatesEnabled(true);
}

void Panels::restoreSplitter(double share) {
    if (share > 0 && share < 1)
        split_ = share;
    applySplitter();
}

void Panels::applySplitter() {
    if (!split_)
        return;
    const int viewerTop = w_.viewer->y();
    const int top = viewerTop + int(std::lround(*split_ * (w_.statusBox->y() - viewerTop)));
    if (splitterFits(pixelsToTwips(top)))
        placeSplitter(top);
}
