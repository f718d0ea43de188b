#pragma once
// Records message boxes instead of showing them; answers questions with `answer`.
#include "ui/MessageBoxes.h"

#include <QStringList>

#include <functional>

class FakeMessageBoxes : public MessageBoxes {
public:
    struct Shown {
        QString kind;
        QString text;
        QString title;
    };
    QList<Shown> shown;
    Answer answer = Answer::Ok;
    Closing closing = Closing::Back;
    std::function<void()> onQuestion; // what happens while a question is asked

    void information(QWidget*, const QString& text, const QString& title) override {
        shown.append({QStringLiteral("information"), text, title});
    }
    void critical(QWidget*, const QString& text, const QString& title) override {
        shown.append({QStringLiteral("critical"), text, title});
    }
    Answer question(QWidget*, const QString& text, const QString& title) override {
        shown.append({QStringLiteral("question"), text, title});
        if (onQuestion)
            onQuestion();
        return answer;
    }
    Closing askToSave(QWidget*, const QString& text, const QString& title) override {
        shown.append({QStringLiteral("save?"), text, title});
        return closing;
    }
    QString lastText() const { return shown.isEmpty() ? QString() : shown.last().text; }
};
