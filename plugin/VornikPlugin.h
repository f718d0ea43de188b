#pragma once
// The control library's class factory. Its identity (program id, class id, interface ids) is the
// plugin metadata in Vornik.json, which a host reads without loading the library.
#include "control/VornikInterface.h"

#include <QObject>

class VornikPlugin : public QObject, public IVornikControlFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IVornikControlFactory_iid FILE "Vornik.json")
    Q_INTERFACES(IVornikControlFactory)
public:
    QWidget* createControl(QWidget* parent) override;
};
