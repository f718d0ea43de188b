#include "forms/FormOpener.h"

#include "forms/FrmAdd.h"
#include "forms/FrmModi.h"

namespace {

class RealForms final : public FormOpener {
public:
    Co<> showAdd(QWidget* parent) override { return FrmAdd::showModal(parent); }
    Co<ModifyOutcome> showModify(QString id, QWidget* parent) override {
        return FrmModi::showModal(std::move(id), parent);
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
