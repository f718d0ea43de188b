#pragma once
// The result arrays, process-wide, indexed by list position: for a result of N rows each holds
// N + 1 elements, element N empty. RowData holds the placeholder "无内容" after a title search or
// the title listing, whose contents were not fetched. Each shares a column of the result it came
// from (and the list shares RowNames), so a result's text is held once.
#include "util/TextColumn.h"

namespace mPublic {
inline TextColumn RowNames;
inline TextColumn RowData;
inline TextColumn RowIds;
inline const QString kNoContent = QStringLiteral("无内容");
} // namespace mPublic
