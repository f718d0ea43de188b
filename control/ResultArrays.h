#pragma once
// The result arrays, process-wide, indexed by list position: for a result of N rows each holds
// N + 1 elements, element N empty. RowData holds the placeholder "无内容" after a title search or
// the title listing, whose contents were not fetched.
#include <QStringList>

namespace mPublic {
inline QStringList RowNames;
inline QStringList RowData;
inline QStringList RowIds;
inline const QString kNoContent = QStringLiteral("无内容");
} // namespace mPublic
