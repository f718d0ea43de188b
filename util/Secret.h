#pragma once
// Letting go of a password: its characters are overwritten before the text is emptied, so the freed
// memory does not keep it.
#include <QByteArray>
#include <QString>

// Zeroes the text's characters in place when this is the only holder of its buffer, then empties it.
// A buffer shared with another copy (or a literal's, read-only) is only let go of: overwriting it
// would change the other holder's text, which then still has to let go of it itself.
void wipe(QString& text);
void wipe(QByteArray& bytes);
