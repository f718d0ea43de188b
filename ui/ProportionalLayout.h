#pragma once
// Proportional layout for windows whose children sit at fixed design positions: the host records
// its inner size and every child's geometry once, then on each size change places every child at
// its recorded geometry times the ratio of current to recorded size (lefts and widths by the width
// ratio, tops and heights by the height ratio). Fonts are not scaled. Scaling always starts from
// the record, so repeated resizes never accumulate rounding and the design size gives back the
// design layout exactly.
//
// The host's control collection, fixed when SaveControlsPos runs, is found by walking the host's
// object tree depth first in child order (a container before the controls inside it):
//  - A member has an object name of its own that does not start with "qt_", "_q_" or "__qt__"
//    (the names Qt gives the internal parts of its widgets). Give every laid-out control a name.
//  - Members are widgets that are not separate windows, plus the left-alone kinds below. Popup
//    menus and file/colour/font dialogs are members although they are windows; other windows
//    (dialogs, a combo box's popup) are not, and neither is anything inside them.
//  - Timers and sockets among the children of the host or of a container are members too.
//  - The walk looks inside plain containers only: widgets whose nearest Qt class is QWidget,
//    QFrame or QGroupBox (the picture boxes and frames of a design). Any other Qt widget is one
//    control; its children (a combo box's line edit, scroll bars, viewports, a tab bar's scroll
//    buttons) are its own machinery and not members. An unnamed container is not a member itself,
//    but the named controls inside it are.
//
// Kinds, decided by class:
//  | Class                                         | Recorded     | On resize                   |
//  | QTimer, QAbstractSocket, QMenu, QMenuBar,     | four blanks  | left alone                  |
//  |   QFileDialog, QColorDialog, QFontDialog      |              |                             |
//  | QFrame shaped HLine or VLine (a line)         | four blanks  | left alone                  |
//  | QToolBar, QStatusBar                          | geometry     | left alone                  |
//  | QComboBox                                     | geometry     | left, top, width; height by |
//  |                                               |              | ComboHeight                 |
//  | any other widget                              | geometry     | left, top, width, height    |
//
// Geometry is in twips, relative to the control's parent widget (its container); the host's size
// is its width() and height(), the rectangle child coordinates live in. Scaled twips become
// pixels through twipsToPixels (nearest, halves away from zero).
//
// Controls are matched to their record by identity, not by where they currently sit in the
// object tree: raise() and lower() reorder a parent's children, and a dragged panel must still
// get its own geometry back. A control destroyed after recording is skipped; one created after
// recording has no record and is left alone.
#include <QList>
#include <QPointer>
#include <QStringList>

class QObject;
class QWidget;

class ProportionalLayout {
public:
    // How a combo box's height follows the height ratio. SetItemHeight gives it the scaled design
    // height in pixels (twips rounded half to even, divided by 15, rounded again); LeaveAlone
    // moves and widens it only, keeping its current height.
    enum class ComboHeight { SetItemHeight, LeaveAlone };

    explicit ProportionalLayout(QWidget* host, ComboHeight comboHeight);

    // Records the host's size and the geometry of every control in its collection. Call it once,
    // while the children are at their design geometry and before the host is given its size.
    void SaveControlsPos();

    // Places every recorded control for the host's current size. Does nothing until a record
    // exists, or when the recorded width or height is 0. Call it from the host's resize event.
    void ResizeControls();

    // The host's width and height in twips at recording time, 0 before.
    int initWidth() const { return m_initWidth; }
    int initHeight() const { return m_initHeight; }

    // One entry per control of the collection at recording time plus a final empty one. An entry
    // is "left top width height " (twips, each number followed by one blank, e.g.
    // "120 480 11415 375 ") or four blanks for a control without recorded geometry.
    const QStringList& ctlPos() const { return m_ctlPos; }

    // The collection fixed at recording time, in record order (entry i of ctlPos belongs to
    // control i); a control destroyed since shows as nullptr.
    QList<QObject*> controls() const;

private:
    QPointer<QWidget> m_host;
    ComboHeight m_comboHeight;
    int m_initWidth = 0;
    int m_initHeight = 0;
    QStringList m_ctlPos;
    QList<QPointer<QObject>> m_controls;
};
