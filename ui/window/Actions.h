// Actions with an Update handler that sets their enabled and checked states, run whenever the
// application becomes idle and again right before every execution; an action executes only
// while it is enabled after that Update, whether a menu, a tool button, a shortcut, a timer, a
// double click or code executes it. An auto-check action inverts its checked state before its
// Execute handler runs.
#pragma once

#include <QAction>
#include <functional>
#include <vector>

class TAction : public QAction {
    Q_OBJECT
public:
    TAction(const QString& caption, QObject* parent);

    std::function<void()> OnExecute;
    // Sets enabled/checked from the program's state; none means always enabled.
    std::function<void(TAction&)> OnUpdate;
    bool AutoCheck = false;
    // Runs the Execute handler of an action triggered by the user, so that its errors never
    // escape into the event loop. Set by the owner of the action list.
    std::function<void(const std::function<void()>&)> Guard;

    void Update();
    // Update, then, when enabled: auto-check, Execute. Errors reach the caller. True when the
    // action executed.
    bool Execute();

private:
    void Triggered();
};

class TActionList : public QObject {
    Q_OBJECT
public:
    explicit TActionList(QObject* parent = nullptr);

    TAction* Add(const QString& caption, const QString& hint = QString());
    const std::vector<TAction*>& Actions() const { return List; }
    // Every Update handler, in the order the actions were added.
    void UpdateAll();

private:
    std::vector<TAction*> List;
    bool Updating = false;
};
