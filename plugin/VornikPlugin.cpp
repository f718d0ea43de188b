#include "plugin/VornikPlugin.h"

#include "control/uVornik.h"

QWidget* VornikPlugin::createControl(QWidget* parent) {
    return new uVornik(parent);
}
