#pragma once
// What assistive technology hears of the result list: a list (AT-SPI "list") whose items are the
// titles (AT-SPI "list item", each named by its title). Qt would announce the ListBox as what it is
// built on, a table with a column header and a header per row, that is two children per title.
//
// An item exists only once something asks for its row, and lives until the list is cleared: a
// million titles cost nothing until a screen reader reads them, and then only the rows it read.
// The list also offers the table interface (one column, no headers), as Qt's own list views do:
// through it a screen reader learns the count and the selected title without walking the items,
// and AT-SPI tells it the list manages its items. Orca 43 walks them all the same once, to say
// "List with N items" when the focus enters a list: 0.4 ms a title, in Orca, the window not held.
#include <QAccessible>

class ListBox;

namespace listbox_accessible {

// The factory QAccessible::installFactory takes: an interface for a ListBox, null for anything else.
QAccessibleInterface* create(const QString& className, QObject* object);

// Tells assistive technology that `row` of `list` became current (the keyboard's focus within the
// list, told only while the list has the focus) or was selected or deselected. Qt's table view
// would count its children with the headers; these count the titles only.
void currentRowChanged(ListBox* list, int row);
void selectionChanged(ListBox* list, int selectedRow, int deselectedRow);

} // namespace listbox_accessible
