#pragma once
// The listed result, owned by the control: the loader fills it, the viewer and the commands read it
// (and the commands edit a row after a modify or a delete). Indexed by list position: for a result
// of N rows each column holds N + 1 texts, the last empty (the design's RowNames, RowData, RowIds).
// `data` holds the placeholder "无内容" after a title search or the title listing, whose contents
// were not fetched. Each column shares one of the recordset it came from (and the list shares
// `names`), so a result's text is held once.
#include "util/TextColumn.h"

#include <QString>

struct ResultSet {
    static inline const QString kNoContent = QStringLiteral("无内容");

    TextColumn names;
    TextColumn data;
    TextColumn ids;
    // Whether `data` holds the listed records' contents (a full-text search, the table listing) or
    // the placeholder (a title search, the title listing).
    bool contentsHeld = false;
    // The search value the listed result matched ("%" and "_" as typed, wildcards); empty after a
    // listing, which matched everything.
    QString key;
};
