// What a screen reader announces for each child of the control. Boxes and the list have no caption
// of their own, so they are named after their tooltip or their role; buttons after their caption
// without the access-key marks (the key itself is announced as the shortcut). The two panels' close
// buttons both read "关闭", so their names say which panel they close.
#include "control/uVornik.h"

#include "control/Choices.h"

#include <QCheckBox>
#include <QFrame>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTextEdit>

void uVornik::setAccessibleNames() {
    setAccessibleName(QStringLiteral("Vornik 文本查询"));
    TxtTitle->setAccessibleName(QStringLiteral("标题与版本"));
    Label1->setAccessibleName(QStringLiteral("设置"));
    txtSearchKey->setAccessibleName(txtSearchKey->toolTip()); // "输入查找值"
    cmdSearch->setAccessibleName(QStringLiteral("查询"));
    RTBox->setAccessibleName(QStringLiteral("记录内容"));
    CmdTestS->setAccessibleName(QStringLiteral("测试面板开关"));
    PicSplit->setAccessibleName(QStringLiteral("分隔条"));
    PicSplit->setAccessibleDescription(QStringLiteral("拖动以调整记录内容与查询结果的高度"));
    List1->setAccessibleName(QStringLiteral("查询结果"));
    TxtTS->setAccessibleName(QStringLiteral("状态"));

    PicControlS->setAccessibleName(QStringLiteral("控制面板"));
    CmdControl[0]->setAccessibleName(CmdControl[0]->text());
    CmdControl[1]->setAccessibleName(CmdControl[1]->text());
    CmdControl[2]->setAccessibleName(QStringLiteral("回收站"));
    CmdControl[99]->setAccessibleName(QStringLiteral("关闭控制面板"));
    ChkControl[0]->setAccessibleName(ChkControl[0]->text());

    PicTestS->setAccessibleName(QStringLiteral("测试面板"));
    for (auto it = CmdTest.cbegin(); it != CmdTest.cend(); ++it)
        it.value()->setAccessibleName(it.key() == index(TestButton::Close) ? QStringLiteral("关闭测试面板")
                                                                           : it.value()->text());

    // The entries are actions, which a screen reader reads by their text already.
    Menus->setAccessibleName(QStringLiteral("记录命令"));
}
