#pragma once
// An OSC address pattern, compiled once for the message that carries it and
// matched against the paths of the methods.
//
// It matches what liblo's lo_pattern_match matched: "*" any run of
// characters ("/" among them), "?" any one character, "[...]" one of a set
// ("!" first negates it, the first character after "[" or "[!" is itself
// even when it is "]", "a-z" is a range of byte values compared as signed
// chars, "z-a" only its two ends), "{one,two}" one of literal alternatives,
// "//" the same as "*/", anything else itself. A set or a group that is
// never closed matches nothing.
//
// Where liblo's results are plainly wrong, ours differ:
// - "[a-]" holds "a" and "-" (liblo leaves out the "a");
// - a group matches where the path ends within or right after it while the
//   pattern goes on, as in "{set}*", "{ab,}b" or "set{,s}" (liblo gives up);
// - "[!" at the very end matches nothing (liblo reads past the pattern).
//
// Matching never backtracks. A path too short or too long for the pattern,
// or without its leading and trailing literal characters, is passed over at
// once; for the others, each step of the pattern costs at most the path's
// length squared times the logarithm of the number of alternatives, and
// there are at most two steps for each character the pattern needs, and one
// more: stars in a row are one step, groups in a row that may match nothing
// are one, and those next to a star are none.
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

namespace Quillomat {

class OscPattern {
public:
    // The longest path that can be matched.
    static const size_t MaxPathLength = 63;

    explicit OscPattern(const char* pattern);

    // False for a path longer than MaxPathLength.
    bool matches(const std::string& path) const;

private:
    struct Atom {
        // Group: one of its alternatives; Run: groups in a row that may each
        // match nothing.
        enum Kind : uint8_t { Char, Any, Set, Group, Run, Star } kind;
        unsigned char c;  // Char
        uint32_t index;   // Set: into _sets; Group, Run: into _groups
    };
    // _alternatives[begin, end), sorted by text and then by group.
    struct Alternatives {
        uint32_t begin, end;
        uint32_t groups;  // of a run
    };
    // An alternative, at in _text; group: its place in its run.
    struct Span {
        uint32_t at, length, group;
    };

    size_t parse_set(size_t at);
    size_t parse_group(size_t at);
    void add(Atom::Kind kind, unsigned char c = 0, uint32_t index = 0);
    void add_star();
    void finish();
    typedef std::vector<Span>::const_iterator SpanAt;
    template <class Found>
    void walk(const Alternatives& a, const std::string& path, size_t i, size_t end, Found found) const;
    // The offsets up to end reached from those in from by one alternative
    // of a, or by those of its groups in turn.
    uint64_t group_step(const Alternatives& a, const std::string& path, uint64_t from, size_t end) const;
    uint64_t run_step(const Alternatives& a, const std::string& path, uint64_t from, size_t end) const;

    std::string _text;
    bool _never = false;
    std::vector<Atom> _atoms;
    std::vector<std::bitset<256>> _sets;
    std::vector<Alternatives> _groups;
    std::vector<Span> _alternatives;
    // Path lengths it can match; its leading and trailing literal characters.
    size_t _min_length = 0;
    size_t _max_length = 0;
    bool _bounded = true;
    std::string _lead, _tail;
};

} // namespace Quillomat
