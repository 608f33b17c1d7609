#include <kvo/undo.h>

#include <iterator>

UndoCommand::UndoCommand() {}

UndoCommand::UndoCommand(const UndoCommand& other)
    : redo_actions(other.redo_actions), undo_actions(other.undo_actions), _name(other._name) {}

UndoCommand& UndoCommand::operator=(const UndoCommand& other) {
    if (this != &other) {
        _name = other._name;
        redo_actions = other.redo_actions;
        undo_actions = other.undo_actions;
    }
    return *this;
}

UndoCommand::~UndoCommand() {}

void UndoCommand::add_undo(const Action& action) { undo_actions.push_back(action); }

void UndoCommand::add_redo(const Action& action) {
    redo_actions.push_back(action);
    action();
}

void UndoCommand::add_redo_no_execute(const Action& action) { redo_actions.push_back(action); }

void UndoCommand::clear() {
    undo_actions.clear();
    redo_actions.clear();
}

void UndoCommand::undo() {
    for (std::list<Action>::reverse_iterator i = undo_actions.rbegin(); i != undo_actions.rend(); ++i) {
        (*i)();
    }
}

void UndoCommand::redo() {
    for (std::list<Action>::iterator i = redo_actions.begin(); i != redo_actions.end(); ++i) {
        (*i)();
    }
}

UndoHistory::UndoHistory() {}

UndoHistory::~UndoHistory() {}

void UndoHistory::add(const UndoCommand& cmd) { UndoList.push_back(cmd); }

void UndoHistory::undo(unsigned int n) {
    while (n-- && !UndoList.empty()) {
        // Off the list before it runs, so an action that records into this
        // history cannot disturb the move.
        std::list<UndoCommand> running;
        running.splice(running.end(), UndoList, std::prev(UndoList.end()));
        running.back().undo();
        RedoList.splice(RedoList.end(), running);
    }
}

void UndoHistory::redo(unsigned int n) {
    while (n-- && !RedoList.empty()) {
        std::list<UndoCommand> running;
        running.splice(running.end(), RedoList, std::prev(RedoList.end()));
        running.back().redo();
        UndoList.splice(UndoList.end(), running);
    }
}

void UndoHistory::clear_redo() { RedoList.clear(); }
