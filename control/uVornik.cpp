#include "control/uVornik.h"

#include "control/Choices.h"
#include "control/ClickLabel.h"
#include "control/ListBox.h"
#include "control/StatusLine.h"
#include "control/WrapButton.h"
#include "database/Session.h"
#include "forms/FrmDataBaseLogin.h"
#include "ui/FramedTextEdit.h"
#include "ui/Twips.h"
#include "util/Clock.h"
#include "util/Nested.h"
#include "util/WindowSettings.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QTextEdit>

namespace {

// The design names Windows fonts; the fallbacks are what a Linux desktop has for the same look
// (a sans-serif and a Song-style serif CJK face), so the Chinese captions render either way.
QFont designFont(QStringList families, double points) {
    QFont font;
    font.setFamilies(families);
    font.setPointSizeF(points);
    return font;
}

DragFrame* panel(QWidget* parent, const QString& name, int left, int top, int width, int height) {
    auto* frame = designChild<DragFrame>(parent, name, left, top, width, height);
    frame->setFrameStyle(QFrame::Box | QFrame::Plain);
    // The panels float over the viewer and the list, so they paint their own background.
    frame->setAutoFillBackground(true);
    return frame;
}

void setBackColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(role, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace

uVornik::uVornik(QWidget* parent) : QWidget(parent) {
    // A statement that finds no account asks for one in the login dialog.
    installLoginDialog();
    createChildren();
    loader_ = std::make_unique<ResultLoader>(*this, List1, gate_, session_, results_, this, handlers_);
    viewer_ =
        std::make_unique<RecordViewer>(*this, List1, RTBox, gate_, session_, *loader_, results_, handlers_);
    commands_ = std::make_unique<RecordCommands>(*this, List1, Menus, Menu, ChkControl[0], gate_, session_,
                                                 *loader_, results_, this, handlers_);
    history_ = std::make_unique<HistoryWindows>(gate_, *loader_, *commands_, handlers_, this);
    commands_->setHistory(history_.get());
    // The viewer shows what is stored: a saved record's new text, and nothing of a deleted one.
    commands_->setRowEdited([this](int row, bool removed) {
        if (removed)
            viewer_->clear();
        else if (List1->selectedRow() == row)
            viewer_->List1_Click();
    });
    panels_ = std::make_unique<Panels>(*this,
                                       Panels::Widgets{this, txtSearchKey, RTBox, List1, TxtTS, PicControlS,
                                                       PicTestS, PicSplit, CmdTest, CmdControl[2]},
                                       gate_, session_, *loader_, *commands_, *history_, handlers_);
    connectChildren();
    initTabOrder();
    resize(twipsToPixels(kDesignWidth), twipsToPixels(kDesignHeight));
    UserControl_Initialize();
    restoreState();
    // The search box has the focus when the window first becomes active.
    txtSearchKey->setFocus();
    setAccessibleNames();
}

void uVornik::restoreState() {
    const auto settings = windowSettings();
    ChkControl[0]->setChecked(settings->value(QStringLiteral("control/titlesOnly"), true).toBool());
    Menu[index(MenuEntry::ExportAll)]->setVisible(!ChkControl[0]->isChecked());
    if (const QVariant share = settings->value(QStringLiteral("control/splitter")); share.isValid())
        panels_->restoreSplitter(share.toDouble());
    connect(ChkControl[0], &QCheckBox::toggled, this, [this](bool titlesOnly) {
        const auto kept = windowSettings();
        kept->setValue(QStringLiteral("control/titlesOnly"), titlesOnly);
        if (const QString failed = saveWindowSettings(*kept); !failed.isEmpty())
            ShowStatus(failed);
    });
}

void uVornik::UserControl_Resize() {
    layout_.ResizeControls();
    if (panels_)
        panels_->applySplitter();
}

uVornik::~uVornik() = default;

// The children in the design's order (the layout records them in it).
void uVornik::createChildren() {
    createSearchArea();
    createControlPanel();
    createTestPanel();
    createMenu();
}

// The title, the search box, the viewer, the splitter, the list and the status line.
void uVornik::createSearchArea() {
    TxtTitle = designChild<QLineEdit>(this, "TxtTitle", 0, 0, 11655, 480);
    QFont titleFont = designFont({"微软雅黑", "Microsoft YaHei", "Noto Sans CJK SC"}, 14.25);
    titleFont.setBold(true);
    TxtTitle->setFont(titleFont);
    TxtTitle->setText("Skarvel");

    Label1 = designChild<ClickLabel>(this, "Label1", 11880, 240, 360, 180);
    QFont labelFont = designFont({"宋体", "SimSun", "Noto Serif CJK SC"}, 9);
    labelFont.setUnderline(true);
    Label1->setFont(labelFont);
    Label1->setText("设置");
    Label1->setCursor(Qt::PointingHandCursor);
    // Alt+T (Se&ttings): S is Test[&S]'s. Not drawn, so the caption keeps its design; a screen
    // reader announces it as the label's shortcut.
    Label1->setAccessKey(QKeySequence(Qt::ALT | Qt::Key_T));

    txtSearchKey = designChild<QLineEdit>(this, "txtSearchKey", 120, 480, 11415, 375);
    txtSearchKey->setToolTip("输入查找值");

    cmdSearch = designChild<QPushButton>(this, "cmdSearch", 11640, 480, 975, 375);
    cmdSearch->setText("查询[&F]");

    RTBox = designChild<FramedTextEdit>(this, "RTBox", 120, 840, 12495, 4095);
    // Tab leaves the viewer instead of typing a tab into it, so the tab order goes on to the list.
    RTBox->setTabChangesFocus(true);

    CmdTestS = designChild<QPushButton>(this, "CmdTestS", 11640, 840, 975, 375);
    CmdTestS->setText("Test[&S]");
    // Only its access key reaches it once it is moved out of view; Tab must not lose the focus to
    // a button nobody can see.
    CmdTestS->setFocusPolicy(Qt::NoFocus);

    PicSplit = designChild<DragFrame>(this, "PicSplit", 0, 4920, 12735, 70);
    PicSplit->setCursor(Qt::SizeVerCursor);

    List1 = designChild<ListBox>(this, "List1", 120, 5040, 12495, 1110);

    TxtTS = designChild<QLineEdit>(this, "TxtTS", 120, 6120, 12495, 375);
    setBackColor(TxtTS, QPalette::Base, QColor(0xE0, 0xE0, 0xE0));
}

void uVornik::createControlPanel() {
    PicControlS = panel(this, "PicControlS", 1440, 1440, 9735, 3615);
    CmdControl[0] = designChild<QPushButton>(PicControlS, "CmdControl_0", 480, 480, 1935, 375);
    CmdControl[0]->setText("下载Mysql驱动32");
    CmdControl[1] = designChild<QPushButton>(PicControlS, "CmdControl_1", 2520, 480, 1935, 375);
    CmdControl[1]->setText("重新登录");
    // Offered only where the history is installed (see HistoryWindows::available).
    CmdControl[2] = designChild<QPushButton>(PicControlS, "CmdControl_2", 4560, 480, 1935, 375);
    CmdControl[2]->setText("回收站…");
    CmdControl[99] = designChild<QPushButton>(PicControlS, "CmdControl_99", 0, 0, 1215, 375);
    CmdControl[99]->setText("关闭");
    ChkControl[0] = designChild<QCheckBox>(PicControlS, "ChkControl_0", 120, 960, 1455, 255);
    ChkControl[0]->setText("只查文件名");
    ChkControl[0]->setChecked(true);
}

void uVornik::createTestPanel() {
    PicTestS = panel(this, "PicTestS", 4320, 1680, 6615, 2895);
    struct TestButton {
        int index;
        const char* caption;
        int left, top, width, height;
    };
    static constexpr TestButton kTestButtons[] = {
        {0, "连接数据库", 240, 600, 1335, 615},
        {1, "显示数据1 SearchTxt_Data", 1680, 600, 1335, 615},
        {2, "显示数据2 SearchTxt_Name", 3120, 600, 1335, 615},
        {3, "调用Skarvel.EXE", 4560, 600, 1335, 615},
        {4, "增加TXT", 240, 1440, 1335, 615},
        {99, "关闭", 0, 0, 1215, 375},
    };
    for (const TestButton& b : kTestButtons) {
        auto* button = designChild<WrapButton>(PicTestS, QStringLiteral("CmdTest_%1").arg(b.index), b.left,
                                               b.top, b.width, b.height);
        button->setText(QString::fromUtf8(b.caption));
        CmdTest[b.index] = button;
    }
}

void uVornik::createMenu() {
    Menus = new QMenu(this);
    Menus->setObjectName("Menus");
    static constexpr const char* kMenuCaptions[] = {"增加TXT",    "删除TXT",     "修改TXT", "-",
                                                    "导出文件名", "导出所有TXT", "-",       "历史版本…"};
    for (int i = 0; i < int(Menu.size()); ++i) {
        const QString caption = QString::fromUtf8(kMenuCaptions[i]);
        // A caption of "-" is a separator line.
        Menu[i] = caption == u"-" ? Menus->addSeparator() : Menus->addAction(caption);
        Menu[i]->setObjectName(QStringLiteral("Menu_%1").arg(i));
    }
}

void uVornik::connectChildren() {
    connect(Label1, &ClickLabel::clicked, this, &uVornik::Label1_Click);
    connect(CmdTestS, &QPushButton::clicked, this, &uVornik::CmdTestS_Click);
    connect(cmdSearch, &QPushButton::clicked, this, &uVornik::cmdSearch_Click);
    connect(txtSearchKey, &QLineEdit::returnPressed, this, &uVornik::cmdSearch_Click);
    // The viewer follows the selection, whether it moved by mouse or by arrow keys.
    connect(List1, &ListBox::selectedRowChanged, this, [this](int row) {
        if (row >= 0)
            List1_Click();
    });
    connect(
        List1, &ListBox::mouseUp, this,
        [this](Qt::MouseButton button, Qt::MouseButtons, const QPoint& at) { List1_MouseUp(button, at); });
    connect(List1, &ListBox::popupKey, this,
            [this] { List1_MouseUp(Qt::RightButton, List1->popupPosition()); });
    for (int i = 0; i < int(Menu.size()); ++i)
        connect(Menu[i], &QAction::triggered, this, [this, i] { Menu_Click(i); });

    for (auto it = CmdControl.cbegin(); it != CmdControl.cend(); ++it)
        connect(it.value(), &QPushButton::clicked, this,
                [this, index = it.key()] { CmdControl_Click(index); });
    for (auto it = CmdTest.cbegin(); it != CmdTest.cend(); ++it)
        connect(it.value(), &QPushButton::clicked, this, [this, index = it.key()] { CmdTest_Click(index); });
    TxtTS->installEventFilter(this);

    const std::pair<DragFrame*, Panels::Dragged> dragged[] = {{PicControlS, Panels::Dragged::ControlPanel},
                                                              {PicTestS, Panels::Dragged::TestPanel},
                                                              {PicSplit, Panels::Dragged::Splitter}};
    for (const auto& [frame, which] : dragged) {
        connect(frame, &DragFrame::mouseDown, this, [this, which](int button, int, double x, double y) {
            drag(which, DragStep::Press, button, x, y);
        });
        connect(frame, &DragFrame::mouseMove, this, [this, which](int button, int, double x, double y) {
            drag(which, DragStep::Move, button, x, y);
        });
        connect(frame, &DragFrame::mouseUp, this, [this, which](int button, int, double x, double y) {
            drag(which, DragStep::Release, button, x, y);
        });
    }
}

void uVornik::initTabOrder() {
    // "设置" just before the control panel it opens: Space on it, then Tab goes into the panel.
    const QList<QWidget*> order = {txtSearchKey,   cmdSearch,     RTBox,         List1,         TxtTS,
                                   Label1,         CmdControl[0], CmdControl[1], CmdControl[2], ChkControl[0],
                                   CmdControl[99], CmdTest[0],    CmdTest[1],    CmdTest[2],    CmdTest[3],
                                   CmdTest[4],     CmdTest[99],   TxtTitle};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void uVornik::UserControl_Initialize() {
    // Out of view but visible and enabled, so its access key Alt+S still clicks it.
    setTwipsGeometry(CmdTestS, -999, -999, 1, 1);

    // Every new instance starts the process-wide connection afresh, unopened (its recordset is its own).
    session_.connectionSlot() = std::make_unique<Connection>();

    TxtTitle->setText("Skarvel - 版本号：" + GetVersionText());

    const QColor backColor = palette().color(QPalette::Window);
    setBackColor(PicSplit, QPalette::Window, backColor);
    PicSplit->lower();

    PicControlS->hide();
    PicTestS->hide();

    Menu[index(MenuEntry::ExportAll)]->setVisible(!ChkControl[0]->isChecked());
    // The history's entries until the server says it keeps one.
    Menu[index(MenuEntry::HistorySeparator)]->setVisible(false);
    Menu[index(MenuEntry::History)]->setVisible(false);
    CmdControl[index(ControlButton::Trash)]->hide();
    setBackColor(ChkControl[0], QPalette::Window, backColor);

    // Last: the record must hold the design layout, before any host gives the control its size.
    layout_.SaveControlsPos();
}

void uVornik::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    UserControl_Resize();
}

void uVornik::ShowStatus(const QString& message) {
    // No yield: a line that must paint before work goes on is followed by `co_await await::nextTurn()`.
    TxtTS->setText(appClock().now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u' ' + message);
}

QString uVornik::GetVersionText() const {
    return QStringLiteral(VORNIK_VERSION_TEXT);
}

QString uVornik::RsOpen(const QString& strSQL) {
    // The one nested event loop left below the public edge: RsOpen is synchronous by the design, so
    // it waits for the statement's coroutine here while other handlers run (the gate still decides
    // what may start meanwhile).
    SqlParams none;
    const auto cancel = std::make_shared<Cancellation>();
    std::optional<QString> failed =
        waitNested(loader_->runStatement(strSQL, none, cancel, std::make_shared<Recordset>()));
    if (failed)
        return std::move(*failed);
    // The event loop ended first (the program quits): the statement is ended, and its coroutine, if
    // ever resumed, reports nothing more; it did not run.
    cancel->cancel();
    const QString why = quittingError().description;
    ShowStatus(QStringLiteral("SQL 出错：") + why);
    return why;
}

void uVornik::GetCaretPos(WId hwnd5, qint32& LineNo, qint32& ColNo) {
    RecordViewer::GetCaretPos(hwnd5, LineNo, ColNo);
}

void uVornik::cmdSearch_Click() {
    ShowStatus(defaultDateTimeText(appClock().now()));
    if (ChkControl[0]->isChecked())
        loader_->SearchFileName(txtSearchKey->text());
    else
        loader_->SearchTxtData(txtSearchKey->text());
}

void uVornik::drag(Panels::Dragged which, DragStep step, int button, double x, double y) {
    switch (step) {
    case DragStep::Press:
        return panels_->mouseDown(which, button, x, y);
    case DragStep::Move:
        return panels_->mouseMove(which, button, x, y);
    case DragStep::Release:
        return panels_->mouseUp(which, button);
    }
}

bool uVornik::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TxtTS) {
        if (event->type() == QEvent::MouseButtonDblClick)
            panels_->TxtTS_DblClick();
        else if (event->type() == QEvent::KeyRelease && !static_cast<QKeyEvent*>(event)->isAutoRepeat())
            panels_->TxtTS_KeyUp(static_cast<QKeyEvent*>(event)->key());
    }
    return QWidget::eventFilter(watched, event);
}

QString defaultDateTimeText(const QDateTime& at) {
    return QLocale::system().toString(at.date(), QLocale::ShortFormat) + u' ' +
           at.time().toString(QStringLiteral("H:mm:ss"));
}
