#pragma once
// Opening the record forms goes through this seam: the control's commands show them modal and wait
// for them to close, and tests record what would have been opened instead.
#include "util/Co.h"

#include <QString>

class QWidget;

// How a modify form ended: not shown (the record could not be loaded, and the user was told why),
// closed without saving, or closed once the record was saved.
enum class ModifyOutcome { NotShown, Closed, Saved };

class FormOpener {
public:
    virtual ~FormOpener() = default;
    // The add form, modal over `parent`; finishes when the user has closed it.
    virtual Co<> showAdd(QWidget* parent) = 0;
    // The modify form for record `id`, modal over `parent`; finishes when it has closed.
    virtual Co<ModifyOutcome> showModify(QString id, QWidget* parent) = 0;
};

// The process-wide opener: the real forms unless a test installed another.
FormOpener& formOpener();
// Installs `opener` (not owned); nullptr restores the real forms.
void setFormOpener(FormOpener* opener);
