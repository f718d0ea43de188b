#pragma once
// A column of texts held in one UTF-16 buffer with an offset per row, rather than a QString per row:
// a million titles as a QStringList cost some 60 bytes of bookkeeping each besides their text, and
// as many allocations. Immutable once built and implicitly shared, so the result table, the
// recordset, the result arrays and the list hold one result's text once, and copying it is free.
// A column of one text repeated (a placeholder for every row) costs no memory per row.
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <optional>

class TextColumn {
public:
    TextColumn() = default;
    // A copy of `texts` (tests, and lists of a handful of rows).
    explicit TextColumn(const QStringList& texts);
    // `rows` times `text`, then one empty text (the end element a result's columns carry).
    static TextColumn repeated(const QString& text, qsizetype rows);

    qsizetype size() const;
    bool isEmpty() const { return size() == 0; }
    // Text `i`, which must exist; a NULL reads as empty text.
    QString at(qsizetype i) const;
    // Text `i` without a copy; valid while any copy of this column lives.
    QStringView view(qsizetype i) const;
    // Text `i`, or empty text when there is no such row.
    QString value(qsizetype i) const { return i >= 0 && i < size() ? at(i) : QString(); }
    // Whether row `i` was NULL (as opposed to empty text).
    bool isNull(qsizetype i) const;
    QStringList toStringList() const;
    // A copy with row `i` reading `text`, or without row `i` when `text` is nothing (a modified or a
    // deleted record). A repeated column stays repeated where the row reads its text already.
    TextColumn edited(qsizetype i, const std::optional<QString>& text) const;
    void clear() { d_.reset(); }

    class Builder;

private:
    struct Data;
    explicit TextColumn(std::shared_ptr<const Data> d) : d_(std::move(d)) {}
    std::shared_ptr<const Data> d_;
};

// Fills a column row by row. The buffers grow by reallocation, which the C library does by remapping
// for large blocks, not by copying; a large column moves once or twice into the already-written pages
// of a column let go of before it, which saves the system handing out fresh ones.
class TextColumn::Builder {
public:
    Builder();
    ~Builder();
    Builder(Builder&&) noexcept;
    Builder& operator=(Builder&&) noexcept;

    // Converts UTF-8 as QString::fromUtf8 does, straight into the buffer.
    void appendUtf8(const char* bytes, qsizetype length);
    void append(QStringView text);
    void appendNull();
    qsizetype size() const;
    // The column built so far, its buffers cut to size; the builder is empty afterwards.
    TextColumn finish();

private:
    std::unique_ptr<Data> d_;
    QStringDecoder utf8_;
};
