#include "control/ListBoxAccessible.h"

#include "control/ListBox.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

namespace {

// One title. It knows its list and its row only, and reads everything else when asked, so it stays
// true while the list grows; the list deletes it when its row goes (the list is cleared).
class ItemAccessible : public QAccessibleInterface,
                       public QAccessibleTableCellInterface,
                       public QAccessibleActionInterface {
public:
    ItemAccessible(ListBox* list, int row) : list_(list), row_(row) {}

    bool isValid() const override { return list_ && row_ < list_->count(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return list_ ? list_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(list_); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name && isValid() ? list_->text(row_) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QAccessible::Role role() const override { return QAccessible::ListItem; }

    QRect rect() const override {
        if (!isValid() || !list_->isVisible())
            return {};
        const QRect r = list_->visualRect(list_->model()->index(row_, 0));
        return QRect(list_->viewport()->mapToGlobal(r.topLeft()), r.size());
    }

    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid())
            return s;
        s.selectable = true;
        s.focusable = true;
        s.selected = isSelected();
        s.focused = list_->hasFocus() && list_->currentIndex().row() == row_;
        if (!list_->isVisible()) {
            s.invisible = true;
        } else {
            const QRect r = list_->visualRect(list_->model()->index(row_, 0));
            s.offscreen = !list_->viewport()->rect().intersects(r);
        }
        if (!list_->isEnabled())
            s.disabled = true;
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableCellInterface)
            return static_cast<QAccessibleTableCellInterface*>(this);
        if (t == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface*>(this);
        return nullptr;
    }

    // QAccessibleTableCellInterface: one cell of a one-column table without headers.
    bool isSelected() const override { return isValid() && list_->selectedRow() == row_; }
    QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return 0; }
    int rowIndex() const override { return row_; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

    // Pressing an item chooses it, as a click does: the viewer shows its record.
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override {
        if (action == pressAction() && isValid())
            list_->selectRow(row_);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

    int row() const { return row_; }
    const ListBox* list() const { return list_; }

private:
    QPointer<ListBox> list_;
    int row_;
};

class ListAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit ListAccessible(ListBox* list) : QAccessibleWidget(list, QAccessible::List) {}
    ~ListAccessible() override { forgetItems(); }

    ListBox* list() const { return static_cast<ListBox*>(widget()); }

    // The titles are the children; the view's own parts (headers, scroll bars) are not announced.
    int childCount() const override { return list()->count(); }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= list()->count())
            return nullptr;
        if (const auto it = items_.constFind(index); it != items_.constEnd())
            return QAccessible::accessibleInterface(*it);
        auto* item = new ItemAccessible(list(), index);
        items_.insert(index, QAccessible::registerAccessibleInterface(item));
        return item;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child || child->role() != QAccessible::ListItem)
            return -1;
        const auto* item = static_cast<const ItemAccessible*>(child);
        return item->list() == list() && item->isValid() ? item->row() : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QModelIndex i = list()->indexAt(list()->viewport()->mapFromGlobal(QPoint(x, y)));
        return i.isValid() ? child(i.row()) : nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        const int row = list()->currentIndex().row();
        return list()->hasFocus() && row >= 0 ? child(row) : nullptr;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // QAccessibleTableInterface: one column, one row per title, single selection.
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        return column == 0 ? child(row) : nullptr;
    }
    int selectedCellCount() const override { return list()->selectedRow() >= 0 ? 1 : 0; }
    QList<QAccessibleInterface*> selectedCells() const override {
        const int row = list()->selectedRow();
        return row >= 0 ? QList<QAccessibleInterface*>{child(row)} : QList<QAccessibleInterface*>{};
    }
    QString columnDescription(int) const override { return {}; }
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return selectedCellCount(); }
    int columnCount() const override { return 1; }
    int rowCount() const override { return list()->count(); }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        const int row = list()->selectedRow();
        return row >= 0 ? QList<int>{row} : QList<int>{};
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override { return row >= 0 && list()->selectedRow() == row; }
    bool selectRow(int row) override {
        if (row < 0 || row >= list()->count())
            return false;
        list()->selectRow(row);
        return true;
    }
    bool selectColumn(int) override { return false; }
    // A list box has no way to choose nothing once something is chosen.
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }

    // Titles are only ever added at the end, which leaves every item as it is; anything else (the
    // list cleared) takes the items with it.
    void modelChange(QAccessibleTableModelChangeEvent* event) override {
        switch (event->modelChangeType()) {
        case QAccessibleTableModelChangeEvent::DataChanged:
            return;
        case QAccessibleTableModelChangeEvent::RowsInserted:
            if (event->lastRow() == list()->count() - 1)
                return;
            break;
        default:
            break;
        }
        forgetItems();
    }

private:
    void forgetItems() const {
        for (const QAccessible::Id id : std::as_const(items_))
            QAccessible::deleteAccessibleInterface(id);
        items_.clear();
    }

    mutable QHash<int, QAccessible::Id> items_; // row -> item, for the rows asked about
};

void notify(ListBox* list, QAccessible::Event type, int row) {
    if (row < 0 || !QAccessible::isActive())
        return;
    QAccessibleEvent event(list, type);
    event.setChild(row);
    QAccessible::updateAccessibility(&event);
}

} // namespace

namespace listbox_accessible {

QAccessibleInterface* create(const QString& className, QObject* object) {
    if (className == QLatin1String("ListBox"))
        if (auto* list = qobject_cast<ListBox*>(object))
            return new ListAccessible(list);
    return nullptr;
}

void currentRowChanged(ListBox* list, int row) {
    if (list->hasFocus())
        notify(list, QAccessible::Focus, row);
}

void selectionChanged(ListBox* list, int selectedRow, int deselectedRow) {
    notify(list, QAccessible::SelectionAdd, selectedRow);
    notify(list, QAccessible::SelectionRemove, deselectedRow);
}

} // namespace listbox_accessible
