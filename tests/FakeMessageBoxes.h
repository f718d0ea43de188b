#pragma once
// Records message boxes instead of showing them; answers questions with `answer`.
#include "ui/MessageBoxes.h"

#include <QStringList>

class FakeMessageBoxes : public MessageBoxes {
public:
    struct Shown {
        QString kind;
        QString text;
        QString title;
    };
    QList<Shown> shown;
    Answer answer = Answer::Ok;

    void information(QWidget*, const QString& text, const QString& title) override {
        shown.append({QStringLiteral("information"), text, title});
    }
    void critical(QWidget*, const QString& text, const QString& title) override {
        shown.append({QStringLiteral("critical"), text, title});
    }
    Answer question(QWidget*, const QString& text, const QString& title) override {
        shown.append({QStringLiteral("question"), text, title});
        return answer;
    }
    QString lastText() const { return shown.isEmpty() ? QString() : shown.last().text; }
};
