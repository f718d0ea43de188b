#include "control/ListBox.h"

#include <QAbstractListModel>

class ListBox::Model : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : rows_.size();
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rows_.size())
            return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return rows_.at(index.row());
        return {};
    }

    const QStringList& rows() const { return rows_; }
    void append(const QStringList& texts) {
        if (texts.isEmpty())
            return;
        beginInsertRows({}, rows_.size(), rows_.size() + texts.size() - 1);
        rows_ += texts;
        endInsertRows();
    }
    void clear() {
        beginResetModel();
        rows_ = QStringList();
        endResetModel();
    }

private:
    QStringList rows_;
};

ListBox::ListBox(QWidget* parent) : QListView(parent), model_(new Model(this)) {
    setModel(model_);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformItemSizes(true);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        Q_EMIT currentRowChanged(current.isValid() ? current.row() : -1);
    });
}

int ListBox::count() const {
    return model_->rowCount();
}

QString ListBox::text(int row) const {
    return model_->rows().value(row);
}

QString ListBox::currentText() const {
    return text(currentRow());
}

int ListBox::currentRow() const {
    const QModelIndex i = currentIndex();
    return i.isValid() ? i.row() : -1;
}

void ListBox::setCurrentRow(int row) {
    const QModelIndex i = model_->index(row, 0);
    selectionModel()->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect);
}

void ListBox::addItem(const QString& text) {
    model_->append(QStringList{text});
}

void ListBox::addItems(const QStringList& texts) {
    model_->append(texts);
}

void ListBox::clear() {
    const bool hadCurrent = currentIndex().isValid();
    model_->clear();
    if (hadCurrent)
        Q_EMIT currentRowChanged(-1);
}
