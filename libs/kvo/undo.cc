#include <kvo/undo.h>

#include <iterator>

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

void UndoHistory::add(const UndoCommand& cmd) { UndoList.push_back(cmd); }

namespace {
// Up to n times: the newest command of from runs its step and joins to.
void replay(std::list<UndoCommand>& from, std::list<UndoCommand>& to, void (UndoCommand::*step)(), unsigned int n) {
    while (n-- && !from.empty()) {
        // Off the list before it runs, so an action that records into this
        // history cannot disturb the move.
        std::list<UndoCommand> running;
        running.splice(running.end(), from, std::prev(from.end()));
        (running.back().*step)();
        to.splice(to.end(), running);
    }
}
} // namespace

void UndoHistory::undo(unsigned int n) { replay(UndoList, RedoList, &UndoCommand::undo, n); }

void UndoHistory::redo(unsigned int n) { replay(RedoList, UndoList, &UndoCommand::redo, n); }

void UndoHistory::clear_redo() { RedoList.clear(); }
