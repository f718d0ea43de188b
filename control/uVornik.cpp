#include "control/uVornik.h"

#include "control/ClickLabel.h"
#include "control/ListBox.h"
#include "control/WrapButton.h"
#include "database/Shared.h"
#include "util/Clock.h"
#include "util/Twips.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLineEdit>
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

template <class W> W* child(QWidget* parent, const QString& name, int left, int top, int width, int height) {
    auto* widget = new W(parent);
    widget->setObjectName(name);
    setTwipsGeometry(widget, left, top, width, height);
    return widget;
}

DragFrame* panel(QWidget* parent, const QString& name, int left, int top, int width, int height) {
    auto* frame = child<DragFrame>(parent, name, left, top, width, height);
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
    createChildren();
    initTabOrder();
    resize(twipsToPixels(kDesignWidth), twipsToPixels(kDesignHeight));
    UserControl_Initialize();
    // The search box has the focus when the window first becomes active.
    txtSearchKey->setFocus();
    setAccessibleNames();
}

uVornik::~uVornik() = default;

void uVornik::createChildren() {
    TxtTitle = child<QLineEdit>(this, "TxtTitle", 0, 0, 11655, 480);
    QFont titleFont = designFont({"微软雅黑", "Microsoft YaHei", "Noto Sans CJK SC"}, 14.25);
    titleFont.setBold(true);
    TxtTitle->setFont(titleFont);
    TxtTitle->setText("Skarvel");

    Label1 = child<ClickLabel>(this, "Label1", 11880, 240, 360, 180);
    QFont labelFont = designFont({"宋体", "SimSun", "Noto Serif CJK SC"}, 9);
    labelFont.setUnderline(true);
    Label1->setFont(labelFont);
    Label1->setText("设置");
    Label1->setCursor(Qt::PointingHandCursor);

    txtSearchKey = child<QLineEdit>(this, "txtSearchKey", 120, 480, 11415, 375);
    txtSearchKey->setToolTip("输入查找值");

    cmdSearch = child<QPushButton>(this, "cmdSearch", 11640, 480, 975, 375);
    cmdSearch->setText("查询[&F]");

    RTBox = child<QTextEdit>(this, "RTBox", 120, 840, 12495, 4095);
    // Tab leaves the viewer instead of typing a tab into it, so the tab order goes on to the list.
    RTBox->setTabChangesFocus(true);

    CmdTestS = child<QPushButton>(this, "CmdTestS", 11640, 840, 975, 375);
    CmdTestS->setText("Test[&S]");
    // Only its access key reaches it once it is moved out of view; Tab must not lose the focus to
    // a button nobody can see.
    CmdTestS->setFocusPolicy(Qt::NoFocus);

    PicSplit = child<DragFrame>(this, "PicSplit", 0, 4920, 12735, 70);
    PicSplit->setCursor(Qt::SizeVerCursor);

    List1 = child<ListBox>(this, "List1", 120, 5040, 12495, 1110);

    TxtTS = child<QLineEdit>(this, "TxtTS", 120, 6120, 12495, 375);
    setBackColor(TxtTS, QPalette::Base, QColor(0xE0, 0xE0, 0xE0));

    PicControlS = panel(this, "PicControlS", 1440, 1440, 9735, 3615);
    CmdControl[0] = child<QPushButton>(PicControlS, "CmdControl_0", 480, 480, 1935, 375);
    CmdControl[0]->setText("下载Mysql驱动32");
    CmdControl[1] = child<QPushButton>(PicControlS, "CmdControl_1", 2520, 480, 1935, 375);
    CmdControl[1]->setText("重新登录");
    CmdControl[99] = child<QPushButton>(PicControlS, "CmdControl_99", 0, 0, 1215, 375);
    CmdControl[99]->setText("关闭");
    ChkControl[0] = child<QCheckBox>(PicControlS, "ChkControl_0", 120, 960, 1455, 255);
    ChkControl[0]->setText("只查文件名");
    ChkControl[0]->setChecked(true);

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
        auto* button = child<WrapButton>(PicTestS, QStringLiteral("CmdTest_%1").arg(b.index), b.left, b.top,
                                         b.width, b.height);
        button->setText(QString::fromUtf8(b.caption));
        CmdTest[b.index] = button;
    }

    Menus = new QMenu(this);
    Menus->setObjectName("Menus");
    static constexpr const char* kMenuCaptions[] = {"增加TXT", "删除TXT",    "修改TXT",
                                                    "-",       "导出文件名", "导出所有TXT"};
    for (int i = 0; i < int(Menu.size()); ++i) {
        const QString caption = QString::fromUtf8(kMenuCaptions[i]);
        // A caption of "-" is a separator line.
        Menu[i] = caption == u"-" ? Menus->addSeparator() : Menus->addAction(caption);
        Menu[i]->setObjectName(QStringLiteral("Menu_%1").arg(i));
    }

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

    connect(PicControlS, &DragFrame::mouseDown, this, &uVornik::PicControlS_MouseDown);
    connect(PicControlS, &DragFrame::mouseMove, this, &uVornik::PicControlS_MouseMove);
    connect(PicControlS, &DragFrame::mouseUp, this, &uVornik::PicControlS_MouseUp);
    connect(PicTestS, &DragFrame::mouseDown, this, &uVornik::PicTestS_MouseDown);
    connect(PicTestS, &DragFrame::mouseMove, this, &uVornik::PicTestS_MouseMove);
    connect(PicTestS, &DragFrame::mouseUp, this, &uVornik::PicTestS_MouseUp);
    connect(PicSplit, &DragFrame::mouseDown, this, &uVornik::PicSplit_MouseDown);
    connect(PicSplit, &DragFrame::mouseMove, this, &uVornik::PicSplit_MouseMove);
    connect(PicSplit, &DragFrame::mouseUp, this, &uVornik::PicSplit_MouseUp);
}

void uVornik::initTabOrder() {
    const QList<QWidget*> order = {txtSearchKey,   cmdSearch,     RTBox,         List1,
                                   TxtTS,          CmdControl[0], CmdControl[1], ChkControl[0],
                                   CmdControl[99], CmdTest[0],    CmdTest[1],    CmdTest[2],
                                   CmdTest[3],     CmdTest[4],    CmdTest[99],   TxtTitle};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void uVornik::UserControl_Initialize() {
    // Out of view but visible and enabled, so its access key Alt+S still clicks it.
    setTwipsGeometry(CmdTestS, -999, -999, 1, 1);

    // Every new instance starts the process-wide connection and recordset afresh, unopened.
    mPublic::Conn = std::make_unique<Connection>();
    mPublic::Rs = std::make_unique<Recordset>();

    TxtTitle->setText("Skarvel - 版本号：" + GetVersionText());

    const QColor backColor = palette().color(QPalette::Window);
    setBackColor(PicSplit, QPalette::Window, backColor);
    PicSplit->lower();

    PicControlS->hide();
    PicTestS->hide();

    Menu[5]->setVisible(!ChkControl[0]->isChecked());
    setBackColor(ChkControl[0], QPalette::Window, backColor);

    // Last: the record must hold the design layout, before any host gives the control its size.
    m_layout.SaveControlsPos();
}

void uVornik::UserControl_Resize() {
    m_layout.ResizeControls();
}

void uVornik::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    UserControl_Resize();
}

void uVornik::ShowStatus(const QString& message) {
    TxtTS->setText(appClock().now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u' ' + message);
    QCoreApplication::processEvents();
}

QString uVornik::GetVersionText() const {
    return QStringLiteral(VORNIK_VERSION_TEXT);
}

void uVornik::Label1_Click() {
    PicControlS->raise();
    PicControlS->show();
}

void uVornik::CmdTestS_Click() {
    // The panel's own flag, not whether it shows: the control itself may not be shown yet.
    if (PicTestS->isHidden())
        PicTestS->show();
    else
        hidePanel(PicTestS);
    PicTestS->raise();
}

void uVornik::hidePanel(QWidget* panel) {
    // A hidden panel's focus would otherwise pass to whatever comes next in the tab order (the
    // title line); the search box is where the user goes on.
    const bool hadFocus = panel->isAncestorOf(QApplication::focusWidget());
    panel->hide();
    if (hadFocus)
        txtSearchKey->setFocus();
}
