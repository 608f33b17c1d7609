#include <kvo/undo.h>

#include <gtest/gtest.h>

#include <string>

// Each command types one letter and is undone by removing it; the trace shows
// the order callbacks ran in.
TEST(UndoHistory, UndoAndRedoRunInOrderAndStopAtTheirDepth) {
    std::string doc, trace;
    UndoHistory h;
    for (char c : {'a', 'b'}) {
        UndoCommand cmd;
        cmd.add_redo([&doc, c] { doc += c; });
        cmd.add_redo_no_execute([&trace, c] { trace += c; });
        cmd.add_undo([&doc] { doc.pop_back(); });
        cmd.add_undo([&trace] { trace += '-'; });
        h.add(cmd);
    }
    EXPECT_EQ(doc, "ab");
    EXPECT_EQ(trace, "");

    struct Step {
        bool undo;
        unsigned n;
        const char *doc, *trace;
    } steps[] = {
        {true, 0, "ab", ""},      {true, 3, "", "--"},       // stops when the history runs out
        {false, 1, "a", "--a"},   {false, 5, "ab", "--ab"},  // oldest undone comes back first
        {false, 1, "ab", "--ab"}, {true, 1, "a", "--ab-"},
    };
    for (const Step& s : steps) {
        s.undo ? h.undo(s.n) : h.redo(s.n);
        EXPECT_EQ(doc, s.doc) << (s.undo ? "undo " : "redo ") << s.n;
        EXPECT_EQ(trace, s.trace) << (s.undo ? "undo " : "redo ") << s.n;
    }

    // A new command leaves the pending redo in place until it is cleared.
    UndoCommand x;
    x.add_redo([&doc] { doc += 'x'; });
    x.add_undo([&doc] { doc.pop_back(); });
    h.add(x);
    h.redo(1);
    EXPECT_EQ(doc, "axb");
    h.undo(2);
    h.clear_redo();
    h.redo(1);
    EXPECT_EQ(doc, "a");
}
