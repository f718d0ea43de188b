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
    std::function<void()> onQuestion;    // what happens while a question is asked
    std::function<void()> onInformation; // what is checked while an information box shows

    // Each answers at once, as a coroutine that is ready.
    Co<> informationBox(QWidget*, QString text, QString title) override {
        shown.append({QStringLiteral("information"), text, title});
        if (onInformation)
            onInformation();
        co_return;
    }
    Co<> criticalBox(QWidget*, QString text, QString title) override {
        shown.append({QStringLiteral("critical"), text, title});
        co_return;
    }
    Co<Answer> questionBox(QWidget*, QString text, QString title) override {
        shown.append({QStringLiteral("question"), text, title});
        if (onQuestion)
            onQuestion();
        co_return answer;
    }
    Co<Closing> askToSave(QWidget*, QString text, QString title) override {
        shown.append({QStringLiteral("save?"), text, title});
        co_return closing;
    }
    QString lastText() const { return shown.isEmpty() ? QString() : shown.last().text; }
};
