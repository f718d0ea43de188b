#pragma once
// A rich text box that keeps its frame whole at a fractional scale (see frameKeepingMargins): the
// record box and the forms' body boxes.
#include "ui/ScreenFit.h"

#include <QTextEdit>

class FramedTextEdit : public QTextEdit {
public:
    explicit FramedTextEdit(QWidget* parent = nullptr) : QTextEdit(parent) {
        setViewportMargins(frameKeepingMargins(this));
    }
};
