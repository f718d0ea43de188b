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
//  - A member is a widget that is not a separate window (so not a popup menu or a dialog, nor
//    anything inside one) with an object name of its own that does not start with "qt_", "_q_" or
//    "__qt__" (the names Qt gives the internal parts of its widgets). Give every laid-out control a
//    name.
//  - The walk looks inside plain containers only: widgets whose nearest Qt class is QWidget,
//    QFrame or QGroupBox (the picture boxes and frames of a design). Any other Qt widget is one
//    control; its children (a combo box's line edit, scroll bars, viewports, a tab bar's scroll
//    buttons) are its own machinery and not members. An unnamed container is not a member itself,
//    but the named controls inside it are.
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
#include <QRect>

class QObject;
class QWidget;

class ProportionalLayout {
public:
    explicit ProportionalLayout(QWidget* host) : host_(host) {}

    // Records the host's size and the geometry of every control in its collection. Call it once,
    // while the children are at their design geometry and before the host is given its size.
    void SaveControlsPos();

    // Places every recorded control for the host's current size. Does nothing until a record
    // exists, or when the recorded width or height is 0. Call it from the host's resize event.
    void ResizeControls();

    // The collection fixed at recording time, in record order; a control destroyed since shows as
    // nullptr.
    QList<QObject*> controls() const;

private:
    struct Entry {
        QPointer<QWidget> widget;
        QRect twips; // the design geometry
    };
    QPointer<QWidget> host_;
    int initWidth_ = 0; // twips
    int initHeight_ = 0;
    QList<Entry> entries_;
};
