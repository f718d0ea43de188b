#pragma once
// Records keep CR LF line ends because Windows clients share the database; the boxes use LF. Both
// conversions take one pass over the text: QString::replace moves the rest of the text once per
// thousand matches, which for a record of millions of line ends takes minutes.
#include <QString>

// Each CR LF of `stored` as one LF.
QString shownLineEnds(QStringView stored);
// Each LF of `shown` as CR LF.
QString storedLineEnds(QStringView shown);
