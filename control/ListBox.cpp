#include "control/ListBox.h"

#include <QAbstractListModel>
#include <QKeyEvent>
#include <QMouseEvent>

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
    // Right-button events come to the mouse handlers below, not to a context menu of the parent.
    setContextMenuPolicy(Qt::PreventContextMenu);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { Q_EMIT selectedRowChanged(selectedRow()); });
}

int ListBox::count() const {
    return model_->rowCount();
}

QString ListBox::text(int row) const {
    return model_->rows().value(row);
}

int ListBox::selectedRow() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

QString ListBox::selectedText() const {
    return text(selectedRow());
}

void ListBox::selectRow(int row) {
    const QModelIndex i = model_->index(row, 0);
    if (i.isValid())
        selectionModel()->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect);
    else
        selectionModel()->clearSelection();
}

void ListBox::addItem(const QString& text) {
    model_->append(QStringList{text});
}

void ListBox::addItems(const QStringList& texts) {
    model_->append(texts);
}

void ListBox::clear() {
    const bool hadSelection = selectedRow() >= 0;
    // A model reset drops the selection without a selectionChanged signal.
    model_->clear();
    if (hadSelection)
        Q_EMIT selectedRowChanged(-1);
}

QPoint ListBox::popupPosition() const {
    const QModelIndex i = model_->index(selectedRow(), 0);
    const QRect r = i.isValid() ? visualRect(i) : QRect();
    const QPoint local = r.isValid() && viewport()->rect().intersects(r) ? r.bottomLeft() : QPoint(0, 0);
    return viewport()->mapToGlobal(local);
}

void ListBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QListView::mousePressEvent(event);
}

void ListBox::mouseMoveEvent(QMouseEvent* event) {
    // A drag with the right button must not sweep the selection either.
    if (event->buttons() & Qt::RightButton) {
        event->accept();
        return;
    }
    QListView::mouseMoveEvent(event);
}

void ListBox::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QListView::mouseDoubleClickEvent(event);
}

void ListBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::RightButton)
        QListView::mouseReleaseEvent(event);
    else
        event->accept();
    Q_EMIT mouseUp(event->button(), event->buttons(), event->globalPosition().toPoint());
}

void ListBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Menu ||
        (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier)) {
        event->accept();
        Q_EMIT popupKey();
        return;
    }
    QListView::keyPressEvent(event);
}
