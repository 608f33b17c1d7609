#include "control_osc_pattern.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace Quillomat {

namespace {

// The offsets of a path from the first in at up to the last in valid.
uint64_t from_first(uint64_t at, uint64_t valid)
{
    return valid & ~((at & (~at + 1)) - 1);
}

size_t lowest(uint64_t bits)
{
    return (size_t)__builtin_ctzll(bits);
}

} // namespace

OscPattern::OscPattern(const char* pattern) : _text(pattern)
{
    for (size_t at = 0; at < _text.size() && !_never;) {
        const char c = _text[at];
        // The first of "//" stands for a star.
        if (c == '*' || (c == '/' && at + 1 < _text.size() && _text[at + 1] == '/')) {
            add_star();
            ++at;
        } else if (c == '?') {
            add(Atom::Any);
            ++at;
        } else if (c == '[') {
            at = parse_set(at);
        } else if (c == '{') {
            at = parse_group(at);
        } else {
            add(Atom::Char, (unsigned char)c);
            ++at;
        }
    }
    finish();
}

size_t OscPattern::parse_set(size_t at)
{
    size_t first = at + 1;
    const bool negate = first < _text.size() && _text[first] == '!';
    first += negate ? 1 : 0;
    const size_t close = first < _text.size() ? _text.find(']', first + 1) : std::string::npos;
    if (close == std::string::npos) {
        _never = true;
        return _text.size();
    }
    std::bitset<256> set;
    for (size_t k = first; k < close; ++k) {
        if (k + 2 < close && _text[k + 1] == '-') {
            const int lo = (signed char)_text[k];
            const int hi = (signed char)_text[k + 2];
            for (int x = lo; x <= hi; ++x) {
                set.set((unsigned char)x);
            }
            set.set((unsigned char)lo).set((unsigned char)hi);
            // The end of a range starts the next one: "a-c-e" holds "d".
            ++k;
        } else {
            set.set((unsigned char)_text[k]);
        }
    }
    if (negate) {
        set.flip();
    }
    add(Atom::Set, 0, (uint32_t)_sets.size());
    _sets.push_back(set);
    return close + 1;
}

size_t OscPattern::parse_group(size_t at)
{
    const size_t close = _text.find('}', at + 1);
    if (close == std::string::npos) {
        _never = true;
        return _text.size();
    }
    std::vector<Span> group;
    bool nullable = false;
    for (size_t from = at + 1; from <= close;) {
        const size_t to = std::min(_text.find(',', from), close);
        if (to == from) {
            nullable = true;
        } else if (to - from <= MaxPathLength) {
            group.push_back(Span{(uint32_t)from, (uint32_t)(to - from), 0});
        }
        from = to + 1;
    }
    auto text = [this](const Span& s) { return std::string_view(_text.data() + s.at, s.length); };
    std::sort(group.begin(), group.end(), [&](const Span& a, const Span& b) { return text(a) < text(b); });
    group.erase(std::unique(group.begin(), group.end(), [&](const Span& a, const Span& b) { return text(a) == text(b); }),
                group.end());
    if (group.empty()) {
        // Only empty alternatives match the empty string; only longer ones
        // than any path, nothing.
        _never = !nullable;
        return close + 1;
    }
    size_t shortest = MaxPathLength, longest = 0;
    for (const Span& s : group) {
        shortest = std::min<size_t>(shortest, s.length);
        longest = std::max<size_t>(longest, s.length);
    }
    if (!nullable && group.size() == 1) {
        for (uint32_t k = 0; k < group[0].length; ++k) {
            add(Atom::Char, (unsigned char)_text[group[0].at + k]);
        }
        return close + 1;
    }
    _max_length += longest;
    const Atom::Kind last = _atoms.empty() ? Atom::Char : _atoms.back().kind;
    if (nullable && last == Atom::Star) {
        // The star takes it in.
        return close + 1;
    }
    if (nullable && last == Atom::Run) {
        Alternatives& run = _groups.back();
        for (Span& s : group) {
            s.group = run.groups;
        }
        ++run.groups;
    } else {
        _min_length += nullable ? 0 : shortest;
        add(nullable ? Atom::Run : Atom::Group, 0, (uint32_t)_groups.size());
        _groups.push_back(Alternatives{(uint32_t)_alternatives.size(), 0, 1});
    }
    _alternatives.insert(_alternatives.end(), group.begin(), group.end());
    _groups.back().end = (uint32_t)_alternatives.size();
    return close + 1;
}

void OscPattern::add(Atom::Kind kind, unsigned char c, uint32_t index)
{
    if (kind == Atom::Char || kind == Atom::Any || kind == Atom::Set) {
        ++_min_length;
        ++_max_length;
    }
    _atoms.push_back(Atom{kind, c, index});
}

void OscPattern::add_star()
{
    _bounded = false;
    // Next to a star, groups that may match nothing add nothing.
    if (!_atoms.empty() && _atoms.back().kind == Atom::Run) {
        _alternatives.resize(_groups.back().begin);
        _groups.pop_back();
        _atoms.pop_back();
    }
    if (_atoms.empty() || _atoms.back().kind != Atom::Star) {
        _atoms.push_back(Atom{Atom::Star, 0, 0});
    }
}

void OscPattern::finish()
{
    if (_never) {
        _atoms.clear();
        return;
    }
    if (!_bounded) {
        _max_length = std::numeric_limits<size_t>::max();
    }
    for (const Alternatives& a : _groups) {
        std::sort(_alternatives.begin() + a.begin, _alternatives.begin() + a.end, [this](const Span& x, const Span& y) {
            const int order = std::string_view(_text.data() + x.at, x.length)
                                  .compare(std::string_view(_text.data() + y.at, y.length));
            return order < 0 || (order == 0 && x.group < y.group);
        });
    }
    size_t lead = 0;
    while (lead < _atoms.size() && _atoms[lead].kind == Atom::Char) {
        _lead += (char)_atoms[lead++].c;
    }
    size_t tail = _atoms.size();
    while (tail > lead && _atoms[tail - 1].kind == Atom::Char) {
        --tail;
    }
    for (size_t k = tail; k < _atoms.size(); ++k) {
        _tail += (char)_atoms[k].c;
    }
    _atoms.erase(_atoms.begin() + tail, _atoms.end());
    _atoms.erase(_atoms.begin(), _atoms.begin() + lead);
}

// Offsets as bits: bit i stands for the path's first i characters being
// matched by the atoms so far.
bool OscPattern::matches(const std::string& path) const
{
    const size_t n = path.size();
    if (_never || n > MaxPathLength || n < _min_length || n > _max_length ||
        path.compare(0, _lead.size(), _lead) != 0 ||
        path.compare(n - _tail.size(), _tail.size(), _tail) != 0) {
        return false;
    }
    const size_t end = n - _tail.size();
    const uint64_t valid = end >= 63 ? ~(uint64_t)0 : ((uint64_t)1 << (end + 1)) - 1;
    uint64_t at = (uint64_t)1 << _lead.size();
    for (const Atom& a : _atoms) {
        uint64_t next = 0;
        switch (a.kind) {
        case Atom::Star:
            next = from_first(at, valid);
            break;
        case Atom::Any:
            next = (at << 1) & valid;
            break;
        case Atom::Char:
        case Atom::Set:
            for (uint64_t bits = at; bits; bits &= bits - 1) {
                const size_t i = lowest(bits);
                if (i == end) {
                    break;
                }
                const unsigned char c = (unsigned char)path[i];
                if (a.kind == Atom::Char ? c == a.c : _sets[a.index].test(c)) {
                    next |= (uint64_t)1 << (i + 1);
                }
            }
            break;
        case Atom::Group:
            next = group_step(_groups[a.index], path, at, end);
            break;
        case Atom::Run:
            // With every offset from the first on, there is nothing to add.
            next = at == from_first(at, valid) ? at : run_step(_groups[a.index], path, at, end);
            break;
        }
        at = next;
        if (!at) {
            return false;
        }
    }
    return (at >> end) & 1;
}

// Calls found(length, first, last) for each length of the alternatives that
// match from offset i: [first, last) are those of that length, by group.
// The sorted ones starting with the d characters from i are narrowed by one
// character at a time; those that match exactly then come first.
template <class Found>
void OscPattern::walk(const Alternatives& a, const std::string& path, size_t i, size_t end, Found found) const
{
    auto lo = _alternatives.begin() + a.begin;
    auto hi = _alternatives.begin() + a.end;
    for (size_t d = 0; lo < hi && i + d < end; ++d) {
        const unsigned char c = (unsigned char)path[i + d];
        auto char_at = [&](const Span& s) { return (unsigned char)_text[s.at + d]; };
        lo = std::partition_point(lo, hi, [&](const Span& s) { return char_at(s) < c; });
        hi = std::partition_point(lo, hi, [&](const Span& s) { return char_at(s) <= c; });
        const auto longer = std::partition_point(lo, hi, [&](const Span& s) { return s.length == d + 1; });
        if (lo < longer) {
            found(d + 1, lo, longer);
        }
        lo = longer;
    }
}

uint64_t OscPattern::group_step(const Alternatives& a, const std::string& path, uint64_t from, size_t end) const
{
    uint64_t to = 0;
    for (uint64_t bits = from; bits; bits &= bits - 1) {
        const size_t i = lowest(bits);
        walk(a, path, i, end, [&](size_t length, SpanAt, SpanAt) { to |= (uint64_t)1 << (i + length); });
    }
    return to;
}

// Each offset with the first group after which the path up to it is matched:
// from there on, any of the later groups may follow.
uint64_t OscPattern::run_step(const Alternatives& a, const std::string& path, uint64_t from, size_t end) const
{
    const uint32_t none = std::numeric_limits<uint32_t>::max();
    uint32_t after[MaxPathLength + 1];
    std::fill(after, after + end + 1, none);
    for (uint64_t bits = from; bits; bits &= bits - 1) {
        after[lowest(bits)] = 0;
    }
    uint64_t to = from;
    for (size_t i = lowest(from); i < end; ++i) {
        if (after[i] == none) {
            continue;
        }
        walk(a, path, i, end, [&](size_t length, SpanAt first, SpanAt last) {
            const auto next = std::partition_point(first, last, [&](const Span& s) { return s.group < after[i]; });
            if (next != last) {
                after[i + length] = std::min(after[i + length], next->group + 1);
                to |= (uint64_t)1 << (i + length);
            }
        });
    }
    return to;
}

} // namespace Quillomat
