#include "forms/FormOpener.h"

#include "forms/FrmAdd.h"
#include "forms/FrmModi.h"

namespace {

class RealForms final : public FormOpener {
public:
    void showAdd(QWidget* parent) override { FrmAdd::showModal(parent); }
    ModifyOutcome showModify(const QString& id, QWidget* parent) override {
        return FrmModi::showModal(id, parent);
    }
};

RealForms g_real;
FormOpener* g_current = &g_real;

} // namespace

FormOpener& formOpener() {
    return *g_current;
}

void setFormOpener(FormOpener* opener) {
    g_current = opener ? opener : &g_real;
}
