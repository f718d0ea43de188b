#pragma once
// The file of the module that holds this code: the control library when the control runs inside its
// plugin, the program itself when the code is linked into one. The exports and the external
// searcher live beside the control library.
#include <QString>

// Absolute path of that file; empty when the system cannot tell.
QString moduleFilePath();
// Tests point the control at a library file in a folder of their own; an empty text restores the
// real one.
void setModuleFilePath(const QString& path);
