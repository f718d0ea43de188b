#include "control/ListBox.h"

#include "control/ListBoxAccessible.h"
#include "ui/ScreenFit.h"
#include "util/BackgroundRelease.h"

#include <QAbstractListModel>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <utility>

// The listed rows are the first `shown_` of `rows_`, which a loading search shares with its result
// array, so that growing the list copies nothing.
class ListBox::Model : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    // Asked for often while painting and hit-testing: without the generic checks' virtual calls.
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override {
        return !parent.isValid() && column == 0 && row >= 0 && row < shown_ ? createIndex(row, 0)
                                                                            : QModelIndex();
    }
    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(shown_); }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= shown_)
            return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return rows_.at(index.row());
        return {};
    }

    QString text(int row) const { return row >= 0 && row < shown_ ? rows_.at(row) : QString(); }
    void append(const QString& text) {
        beginInsertRows({}, int(shown_), int(shown_));
        // A list shared with a result stops at the rows shown; the rows are copied, as they are few
        // where a title is added this way.
        TextColumn::Builder rows;
        for (qsizetype i = 0; i < shown_; ++i)
            rows.append(rows_.view(i));
        rows.append(text);
        rows_ = rows.finish();
        shown_ = rows_.size();
        endInsertRows();
    }
    void show(const TextColumn& texts, qsizetype count) {
        count = std::min(count, texts.size());
        if (count <= shown_)
            return;
        beginInsertRows({}, int(shown_), int(count - 1));
        rows_ = texts;
        shown_ = count;
        endInsertRows();
    }
    void change(int row, const TextColumn& texts) {
        rows_ = texts;
        Q_EMIT dataChanged(index(row, 0), index(row, 0));
    }
    void remove(int row, const TextColumn& texts) {
        beginRemoveRows({}, row, row);
        rows_ = texts;
        --shown_;
        endRemoveRows();
    }
    void clear() {
        beginResetModel();
        TextColumn old = std::exchange(rows_, TextColumn());
        shown_ = 0;
        endResetModel();
        // A large result's buffers are let go of on a pool thread, so that unmapping them never
        // holds up the window (the column is reference-counted atomically, so a result still held
        // elsewhere survives).
        if (old.size() > kFreeHereRows)
            background::releaseLater(std::move(old));
    }

private:
    static constexpr qsizetype kFreeHereRows = 10000;
    TextColumn rows_;
    qsizetype shown_ = 0;
};

ListBox::ListBox(QWidget* parent) : QTableView(parent), model_(new Model(this)) {
    QAccessible::installFactory(listbox_accessible::create); // once per process: it keeps one of each
    setModel(model_);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Looks and moves like a list box: no headers, no grid, the title across the whole width (cut
    // at the right edge), one line per row, Tab leaves the list.
    setShowGrid(false);
    setWordWrap(false);
    setTabKeyNavigation(false);
    setCornerButtonEnabled(false);
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(lineHeight());
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Right-button events come to the mouse handlers below, not to a context menu of the parent.
    setContextMenuPolicy(Qt::PreventContextMenu);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { Q_EMIT selectedRowChanged(selectedRow()); });
}

void ListBox::updateGeometries() {
    QTableView::updateGeometries();
    // The table sets its margins for its (hidden) headers here: the frame's are kept after it.
    if (const QMargins keep = frameKeepingMargins(this); viewportMargins() != keep)
        setViewportMargins(keep);
}

int ListBox::lineHeight() const {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = QStringLiteral("Xg中文");
    return style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height();
}

void ListBox::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        verticalHeader()->setDefaultSectionSize(lineHeight());
    QTableView::changeEvent(event);
}

// The accessible events count the titles, not the table's cells and headers, so they skip
// QTableView's own and go to the item view's.
void ListBox::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    listbox_accessible::currentRowChanged(this, current.row());
    QAbstractItemView::currentChanged(current, previous);
}

void ListBox::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    const auto firstRow = [](const QItemSelection& s) { return s.isEmpty() ? -1 : s.first().top(); };
    listbox_accessible::selectionChanged(this, firstRow(selected), firstRow(deselected));
    QAbstractItemView::selectionChanged(selected, deselected);
}

void ListBox::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    // Back in the list, the reader says which title the keyboard is on: after Qt has announced the
    // list itself, which it does once this handler returns.
    QMetaObject::invokeMethod(
        this, [this] { listbox_accessible::currentRowChanged(this, currentIndex().row()); },
        Qt::QueuedConnection);
}

QModelIndex ListBox::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    // Home and End go to the first and the last row, as in a list box; a table would keep them in
    // the row unless Ctrl is held.
    if ((action == MoveHome || action == MoveEnd) && count() > 0)
        return model_->index(action == MoveHome ? 0 : count() - 1, 0);
    return QTableView::moveCursor(action, modifiers);
}

int ListBox::count() const {
    return model_->rowCount();
}

QString ListBox::text(int row) const {
    return model_->text(row);
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
    model_->append(text);
}

void ListBox::showRows(const TextColumn& texts, qsizetype count) {
    model_->show(texts, count);
    // The view sizes its scroll range for new rows at the next event-loop turn; a scroll or click
    // handled before that would not reach them. Done now, the view is whole at every yield of a
    // loading search.
    executeDelayedItemsLayout();
}

void ListBox::changeRow(int row, const TextColumn& texts) {
    if (row >= 0 && row < count())
        model_->change(row, texts);
}

void ListBox::removeRow(int row, const TextColumn& texts) {
    if (row < 0 || row >= count())
        return;
    // The view would select the next row in its place, unasked: nothing is selected afterwards.
    {
        const QSignalBlocker quiet(selectionModel());
        model_->remove(row, texts);
        selectionModel()->clearSelection();
    }
    viewport()->update();
    Q_EMIT selectedRowChanged(-1);
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
    QTableView::mousePressEvent(event);
}

void ListBox::mouseMoveEvent(QMouseEvent* event) {
    // A drag with the right button must not sweep the selection either.
    if (event->buttons() & Qt::RightButton) {
        event->accept();
        return;
    }
    QTableView::mouseMoveEvent(event);
}

void ListBox::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTableView::mouseDoubleClickEvent(event);
}

void ListBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::RightButton)
        QTableView::mouseReleaseEvent(event);
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
    QTableView::keyPressEvent(event);
}
