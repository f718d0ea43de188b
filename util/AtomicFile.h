#pragma once
// Whole-file writes: the file at `path` is replaced only once all of `bytes` are on disk, so a full
// or read-only disk never leaves a half-written file that looks complete.
#include <QByteArray>
#include <QFileDevice>
#include <QString>

// Writes through a short temporary name in the same folder (a file name close to the system's
// length limit still works) and renames it over `path`. Empty on success, else the reason.
QString writeFileAtomically(const QString& path, const QByteArray& bytes,
                            QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                                   QFileDevice::WriteOwner |
                                                                   QFileDevice::ReadGroup |
                                                                   QFileDevice::ReadOther);
