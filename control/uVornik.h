#pragma once
// The search control: a search box with its button, the record viewer, the result list, the status
// line, the title line, and two hidden panels (control panel, test panel) over them. Children sit
// at fixed design positions in twips and scale with the control (ProportionalLayout).
//
// Children are public and named as in the design so the handlers added by later work, and tests,
// reach them directly; control arrays (CmdControl, ChkControl, CmdTest, Menu) are indexed as in the
// design, the close buttons of both panels having index 99.
//
// The control's default interface (IUVornik in control/VornikInterface.h: RsOpen, GetCaretPos) is
// not implemented here yet; once it is, the class derives from IUVornik as well and names it in
// Q_INTERFACES so a host can qobject_cast to it.
#include "control/ClickLabel.h"
#include "util/ProportionalLayout.h"

#include <QMap>
#include <QWidget>

#include <array>

class QAction;
class QCheckBox;
class QFrame;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QTextEdit;

class uVornik : public QWidget {
    Q_OBJECT
public:
    // The design area, in twips.
    static constexpr int kDesignWidth = 12795;
    static constexpr int kDesignHeight = 6555;

    explicit uVornik(QWidget* parent = nullptr);
    ~uVornik() override;

    // Replaces the status line with "yyyy-MM-dd HH:mm:ss", one blank and `message`, then lets the
    // event loop run, so every status write is also a point where other handlers may run.
    void ShowStatus(const QString& message);

    // The library version as "major.minor.revision" (e.g. "1.0.51").
    QString GetVersionText() const;

    // Handlers, public so later work and tests can call them as the events would.
    void Label1_Click();   // raises and shows the control panel
    void CmdTestS_Click(); // toggles the test panel and raises it (also when it was just hidden)
    void UserControl_Resize();

    // The record of design geometry taken at start.
    const ProportionalLayout& layout() const { return m_layout; }

    // Children, in creation order (later ones lie above earlier ones until raised or lowered).
    QLineEdit* TxtTitle;
    ClickLabel* Label1;
    QLineEdit* txtSearchKey;
    QPushButton* cmdSearch;
    QTextEdit* RTBox;
    QPushButton* CmdTestS;
    QFrame* PicSplit;
    QListWidget* List1;
    QLineEdit* TxtTS;
    QFrame* PicControlS;
    QMap<int, QPushButton*> CmdControl; // 0 download driver, 1 log in again, 99 close
    QMap<int, QCheckBox*> ChkControl;   // 0 titles only
    QFrame* PicTestS;
    QMap<int, QPushButton*> CmdTest; // 0..4 commands, chosen by caption; 99 close
    QMenu* Menus;
    std::array<QAction*, 6> Menu{}; // popup entries; 3 is the separator, 5 the export of all records

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void createChildren();
    void initTabOrder();
    void UserControl_Initialize();

    ProportionalLayout m_layout{this, ProportionalLayout::ComboHeight::SetItemHeight};
};
