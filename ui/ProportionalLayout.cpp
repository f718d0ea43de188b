#include "ui/ProportionalLayout.h"

#include "ui/Twips.h"

#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDialog>
#include <QFrame>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QWidget>

namespace {

enum class Kind {
    Unmeasured, // no geometry to record (timers, sockets, menus, common dialogs); left alone
    Line,       // a line's geometry is not recorded; left alone
    Fixed,      // geometry recorded but the control places itself (toolbars, status bars)
    ComboBox,   // height follows ComboHeight
    Other,      // recorded and scaled in full
};

Kind kindOf(const QObject* o) {
    // QAbstractSocket is matched by name so the utilities need not link Qt Network.
    if (qobject_cast<const QTimer*>(o) || o->inherits("QAbstractSocket") || qobject_cast<const QMenu*>(o) ||
        qobject_cast<const QMenuBar*>(o) || qobject_cast<const QFileDialog*>(o) ||
        qobject_cast<const QColorDialog*>(o) || qobject_cast<const QFontDialog*>(o))
        return Kind::Unmeasured;
    if (const auto* f = qobject_cast<const QFrame*>(o);
        f && (f->frameShape() == QFrame::HLine || f->frameShape() == QFrame::VLine))
        return Kind::Line;
    if (qobject_cast<const QToolBar*>(o) || qobject_cast<const QStatusBar*>(o))
        return Kind::Fixed;
    if (qobject_cast<const QComboBox*>(o))
        return Kind::ComboBox;
    return Kind::Other;
}

bool hasMemberName(const QObject* o) {
    const QString& name = o->objectName();
    return !name.isEmpty() && !name.startsWith(u"qt_") && !name.startsWith(u"_q_") &&
           !name.startsWith(u"__qt__");
}

bool isMember(const QObject* o) {
    if (!hasMemberName(o))
        return false;
    if (const auto* w = qobject_cast<const QWidget*>(o))
        return !w->isWindow() || kindOf(w) == Kind::Unmeasured;
    return qobject_cast<const QTimer*>(o) || o->inherits("QAbstractSocket");
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

void collect(const QWidget* parent, QList<QPointer<QObject>>& out) {
    for (QObject* child : parent->children()) {
        if (isMember(child))
            out.append(child);
        if (const auto* w = qobject_cast<const QWidget*>(child); w && isContainer(w))
            collect(w, out);
    }
}

const QString kFourBlanks = QStringLiteral("    ");

} // namespace

ProportionalLayout::ProportionalLayout(QWidget* host, ComboHeight comboHeight)
    : m_host(host), m_comboHeight(comboHeight) {}

void ProportionalLayout::SaveControlsPos() {
    if (!m_host)
        return;
    m_initWidth = roundHalfEven(pixelsToTwips(m_host->width()));
    m_initHeight = roundHalfEven(pixelsToTwips(m_host->height()));

    m_controls.clear();
    collect(m_host, m_controls);

    m_ctlPos = QStringList(m_controls.size() + 1);
    for (qsizetype i = 0; i < m_controls.size(); ++i) {
        QObject* o = m_controls[i];
        const Kind kind = kindOf(o);
        const auto* w = qobject_cast<const QWidget*>(o);
        // A line has no geometry of its own to record, and a non-widget has none at all.
        if (kind == Kind::Unmeasured || kind == Kind::Line || !w) {
            m_ctlPos[i] = kFourBlanks;
            continue;
        }
        const QRect g = w->geometry();
        m_ctlPos[i] = QStringLiteral("%1 %2 %3 %4 ")
                          .arg(g.x() * kTwipsPerPixel)
                          .arg(g.y() * kTwipsPerPixel)
                          .arg(g.width() * kTwipsPerPixel)
                          .arg(g.height() * kTwipsPerPixel);
    }
}

void ProportionalLayout::ResizeControls() {
    if (!m_host || m_initWidth == 0 || m_initHeight == 0)
        return;
    // Unbounded on purpose: a host shrunk to nothing collapses its controls, and growing it again
    // restores them from the record.
    const double rx = pixelsToTwips(m_host->width()) / m_initWidth;
    const double ry = pixelsToTwips(m_host->height()) / m_initHeight;

    for (qsizetype i = 0; i < m_controls.size(); ++i) {
        auto* w = qobject_cast<QWidget*>(m_controls[i].data());
        if (!w)
            continue; // destroyed since recording, or not a widget
        const Kind kind = kindOf(w);
        if (kind != Kind::Other && kind != Kind::ComboBox)
            continue;

        // Fields missing from the entry (four blanks) read as 0.
        const QStringList fields = m_ctlPos.value(i).split(u' ');
        const auto field = [&](int k) { return fields.value(k).toDouble(); };

        const int left = twipsToPixels(field(0) * rx);
        const int top = twipsToPixels(field(1) * ry);
        const int width = twipsToPixels(field(2) * rx);
        int height = twipsToPixels(field(3) * ry);
        if (kind == Kind::ComboBox) {
            height = m_comboHeight == ComboHeight::SetItemHeight
                         ? roundHalfEven(roundHalfEven(field(3) * ry) / double(kTwipsPerPixel))
                         : w->height();
        }
        w->setGeometry(left, top, width, height);
    }
}

QList<QObject*> ProportionalLayout::controls() const {
    QList<QObject*> result;
    result.reserve(m_controls.size());
    for (const QPointer<QObject>& p : m_controls)
        result.append(p.data());
    return result;
}
