#pragma once
// The result list: a list box of plain titles. A light model of strings rather than QListWidget,
// whose per-row items made a 100,000-title result cost more to list than to query.
#include <QListView>
#include <QStringList>

class ListBox : public QListView {
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr);

    int count() const;
    QString text(int row) const;
    // The selected row's text, empty when none is selected.
    QString currentText() const;
    // The selected row, -1 when none.
    int currentRow() const;
    void setCurrentRow(int row);

    void addItem(const QString& text);
    void addItems(const QStringList& texts);
    void clear();

Q_SIGNALS:
    // The selection moved, by mouse, by arrow keys or by setCurrentRow.
    void currentRowChanged(int row);

private:
    class Model;
    Model* model_;
};
