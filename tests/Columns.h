#pragma once
// A data table a line a row: columns<bool, QString>("titlesOnly", "key") declares its columns,
// row("title search", true, "key") adds a row.
#include <QTest>

template <typename... T, typename... Name> void columns(const Name&... names) {
    static_assert(sizeof...(T) == sizeof...(Name), "one name a column");
    (QTest::addColumn<T>(names), ...);
}

template <typename... V> void row(const char* tag, const V&... values) {
    (QTest::newRow(tag) << ... << values);
}
