#include "ui/ProportionalLayout.h"

#include "ui/Twips.h"

#include <QFrame>
#include <QGroupBox>
#include <QWidget>

namespace {

bool isMember(const QWidget* w) {
    const QString& name = w->objectName();
    return !w->isWindow() && !name.isEmpty() && !name.startsWith(u"qt_") && !name.startsWith(u"_q_") &&
           !name.startsWith(u"__qt__");
}

// Whether the walk looks inside `w`. Only plain containers hold controls of the design; every other
// Qt widget builds itself from parts that must not be moved. The nearest Qt class decides, so a
// project class derived from QFrame is a container and one derived from QComboBox is not.
bool isContainer(const QWidget* w) {
    if (w->isWindow())
        return false;
    for (const QMetaObject* mo = w->metaObject(); mo; mo = mo->superClass()) {
        const char* name = mo->className();
        const bool qtClass = name[0] == 'Q' && name[1] >= 'A' && name[1] <= 'Z';
        if (qtClass)
            return mo == &QWidget::staticMetaObject || mo == &QFrame::staticMetaObject ||
                   mo == &QGroupBox::staticMetaObject;
    }
    return false;
}

void collect(const QWidget* parent, QList<QWidget*>& out) {
    for (QObject* child : parent->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w)
            continue;
        if (isMember(w))
            out.append(w);
        if (isContainer(w))
            collect(w, out);
    }
}

} // namespace

void ProportionalLayout::SaveControlsPos() {
    if (!host_)
        return;
    initWidth_ = roundHalfEven(pixelsToTwips(host_->width()));
    initHeight_ = roundHalfEven(pixelsToTwips(host_->height()));

    QList<QWidget*> widgets;
    collect(host_, widgets);
    entries_.clear();
    entries_.reserve(widgets.size());
    for (QWidget* w : widgets) {
        const QRect g = w->geometry();
        entries_.append({w, QRect(g.x() * kTwipsPerPixel, g.y() * kTwipsPerPixel, g.width() * kTwipsPerPixel,
                                   g.height() * kTwipsPerPixel)});
    }
}

void ProportionalLayout::ResizeControls() {
    if (!host_ || initWidth_ == 0 || initHeight_ == 0)
        return;
    // Unbounded on purpose: a host shrunk to nothing collapses its controls, and growing it again
    // restores them from the record.
    const double rx = pixelsToTwips(host_->width()) / initWidth_;
    const double ry = pixelsToTwips(host_->height()) / initHeight_;

    for (const Entry& e : entries_) {
        if (!e.widget)
            continue; // destroyed since recording
        e.widget->setGeometry(twipsToPixels(e.twips.x() * rx), twipsToPixels(e.twips.y() * ry),
                              twipsToPixels(e.twips.width() * rx), twipsToPixels(e.twips.height() * ry));
    }
}

QList<QObject*> ProportionalLayout::controls() const {
    QList<QObject*> result;
    result.reserve(entries_.size());
    for (const Entry& e : entries_)
        result.append(e.widget.data());
    return result;
}
