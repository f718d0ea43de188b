#pragma once
// The result list: a list box of plain titles. A light model of strings rather than QListWidget,
// whose per-row items made a 100,000-title result cost more to list than to query.
//
// "Selected" means selected: the row the user chose with a click or the arrow keys. The view's
// current index alone (which Tab moves into the list without selecting anything) is not a choice,
// so neither the viewer nor the record commands ever act on it.
//
// A one-column table without headers or grid, not a QListView: a list view lays every row out again
// at each insertion, so a million titles arriving in steps were laid out over and over, and rows not
// yet laid out could be neither seen nor clicked while the list filled. A table's row header only
// appends the new rows. Assistive technology still hears a list of titles (ListBoxAccessible.h).
#include "util/TextColumn.h"

#include <QTableView>

class ListBox : public QTableView {
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr);

    int count() const;
    QString text(int row) const;
    // The selected row, -1 when none.
    int selectedRow() const;
    // The selected row's text, empty when none is selected.
    QString selectedText() const;
    // Selects `row` (and makes it current); -1 clears the selection.
    void selectRow(int row);

    void addItem(const QString& text);
    void clear();
    // Lists the first `count` of `texts`, which must begin with the rows already listed: the rows
    // after them are added at the end. The list shares `texts` rather than copying it, so a
    // million-row result grows the list at no cost but the view's own layout.
    void showRows(const TextColumn& texts, qsizetype count);

    // The list shares `texts` from now on, which lists what it showed with row `row` changed (a modified
    // record's title), or without row `row` (a deleted record).
    void changeRow(int row, const TextColumn& texts);
    void removeRow(int row, const TextColumn& texts);

    // Where a popup for the list opens from the keyboard: below the selected row, else the top left.
    QPoint popupPosition() const;

Q_SIGNALS:
    // The selection changed, by mouse, by arrow keys or by selectRow; -1 when nothing is selected.
    void selectedRowChanged(int row);
    // A mouse button was released over the list: the button, the buttons still held, and the
    // pointer in global coordinates. A right click reaches only this signal: it never changes the
    // selection.
    void mouseUp(Qt::MouseButton button, Qt::MouseButtons held, const QPoint& globalPos);
    // The menu key or Shift+F10: the keyboard's way to ask for the popup.
    void popupKey();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void updateGeometries() override;

private:
    // One line of the list's font, as a list box item of mixed Latin and Chinese text is drawn.
    int lineHeight() const;

    class Model;
    Model* model_;
};
