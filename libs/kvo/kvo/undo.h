#pragma once
// Undo and redo of commands, each held as the callbacks that undo it and the
// callbacks that do (and redo) it.

#include <kvo/sigcompat.h>

#include <list>
#include <string>

class UndoCommand {
  public:
    typedef sigc::slot<void> Action;

    UndoCommand() = default;
    UndoCommand(const UndoCommand&) = default;
    UndoCommand& operator=(const UndoCommand&) = default;
    virtual ~UndoCommand() = default;

    const std::string& name() const { return _name; }
    void set_name(const std::string& n) { _name = n; }

    void add_undo(const Action& action);
    // Recording the action does it.
    void add_redo(const Action& action);
    // For an action already done by other means.
    void add_redo_no_execute(const Action& action);

    void clear();

    // Newest undo action first.
    void undo();
    // Oldest redo action first.
    void redo();

  private:
    std::list<Action> redo_actions;
    std::list<Action> undo_actions;
    std::string _name;
};

class UndoHistory {
  public:
    UndoHistory() = default;
    virtual ~UndoHistory() = default;

    // Keeps a copy. A pending redo stays until clear_redo().
    void add(const UndoCommand& cmd);
    // Each goes back (or forward) at most n commands, fewer when the history
    // runs out.
    void undo(unsigned int n);
    void redo(unsigned int n);
    void clear_redo();

  private:
    std::list<UndoCommand> UndoList;
    std::list<UndoCommand> RedoList;
};
