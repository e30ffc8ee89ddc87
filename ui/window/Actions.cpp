#include "Actions.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

TAction::TAction(const QString& caption, QObject* parent) : QAction(caption, parent) {
    connect(this, &QAction::triggered, this, [this] { Triggered(); });
}

void TAction::Update() {
    if (OnUpdate)
        OnUpdate(*this);
}

bool TAction::Execute() {
    Update();
    if (!isEnabled())
        return false;
    if (AutoCheck && isCheckable())
        setChecked(!isChecked());
    if (OnExecute)
        OnExecute();
    return true;
}

void TAction::Triggered() {
    // A menu item or tool button of a checkable action has already inverted the checked state.
    auto run = [this] {
        const bool checkedByToolkit = isCheckable();
        const bool checkedNow = isChecked();
        Update();
        if (!isEnabled()) {
            if (checkedByToolkit && AutoCheck)
                setChecked(!checkedNow);
            return;
        }
        if (checkedByToolkit && AutoCheck)
            setChecked(checkedNow); // keep the toolkit's inversion, whatever Update did
        if (OnExecute)
            OnExecute();
    };
    if (Guard)
        Guard(run);
    else
        run();
}

TActionList::TActionList(QObject* parent) : QObject(parent) {
    // "Idle" is the moment the event loop has nothing left to do and is about to wait.
    if (auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TActionList::UpdateAll);
}

TAction* TActionList::Add(const QString& caption, const QString& hint) {
    auto* action = new TAction(caption, this);
    if (!hint.isEmpty()) {
        action->setToolTip(hint);
        action->setStatusTip(hint);
    }
    List.push_back(action);
    return action;
}

void TActionList::UpdateAll() {
    if (Updating)
        return;
    Updating = true;
    for (TAction* a : List) {
        try {
            a->Update();
        } catch (...) {
            // An Update handler only reads state; one that fails leaves its action as it was.
        }
    }
    Updating = false;
}
