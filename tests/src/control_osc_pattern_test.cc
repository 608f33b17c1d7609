// OSC address patterns against method paths: the same results as liblo's
// matcher, but where liblo is plainly wrong, and patterns of any length.
#include "control_osc_pattern.h"

#include <gtest/gtest.h>
#include <lo/lo.h>

#include <random>
#include <string>
#include <vector>

using Quillomat::OscPattern;

namespace {

std::string times(const std::string& s, int n)
{
    std::string out;
    for (int k = 0; k < n; ++k) out += s;
    return out;
}

// liblo gives up where the path ends within or right after a group while the
// pattern goes on, and reads past a pattern that ends in "[!". A character
// found nowhere else, put at the end of both, keeps either from happening and
// changes no correct result. Sets ending in "-]" are left to the cases below.
TEST(OscPatternProperty, MatchesWhatLibloMatches)
{
    std::mt19937 rng(20261208);
    const std::string pattern_chars = "ab/-[]!{},*?\xc3\x80";
    const std::string path_chars = "ab/-c]!{,\xc3\x80";
    for (int k = 0; k < 200000; ++k) {
        std::string pattern, path;
        for (size_t n = rng() % 15; pattern.size() < n;) {
            const char c = pattern_chars[rng() % pattern_chars.size()];
            if (!(c == ']' && !pattern.empty() && pattern.back() == '-')) pattern += c;
        }
        for (size_t n = rng() % 11; path.size() < n;) path += path_chars[rng() % path_chars.size()];
        const bool ours = OscPattern(pattern.c_str()).matches(path);
        ASSERT_EQ(ours, lo_pattern_match((path + "~").c_str(), (pattern + "~").c_str()) != 0)
            << "pattern \"" << pattern << "\", path \"" << path << "\"";
        // What liblo matched as it stands still matches.
        if (pattern.compare(pattern.size() < 2 ? 0 : pattern.size() - 2, 2, "[!") != 0 &&
            lo_pattern_match(path.c_str(), pattern.c_str())) {
            ASSERT_TRUE(ours) << "pattern \"" << pattern << "\", path \"" << path << "\"";
        }
    }
}

TEST(OscPatternCases, MatchOnlyTheirPaths)
{
    const std::string all_0 = "/qm/0/set", all_1 = "/qm/12/register_update";
    std::string many = "/qm/0/{";
    for (int k = 0; k < 9000; ++k) many += "s" + std::to_string(k) + ",";
    struct Case {
        std::string pattern;
        std::vector<std::string> match, miss;
    } cases[] = {
        {"/qm/*/set", {"/qm/0/set", "/qm/-1/set", "/qm/0/x/set"}, {"/qm/0/get", "/qm/0/sett"}},
        {"/qm/?/s[a-e]t", {"/qm/0/set"}, {"/qm/10/set", "/qm/0/sft"}},
        {"/qm/[!0-9]*", {"/qm/-1/set"}, {"/qm/0/set"}},
        {"/qm/[]x]", {"/qm/]", "/qm/x"}, {"/qm/a"}},
        {"/qm/[z-a]", {"/qm/a", "/qm/z"}, {"/qm/b"}},
        {"/qm/[a-c-e]", {"/qm/d"}, {"/qm/-"}},
        {"/qm/{0,12}/{get,set}", {"/qm/0/get", "/qm/12/set"}, {"/qm/1/set", "/qm/0/hit"}},
        {"/qm//set", {"/qm/set", "/qm/0/set"}, {"/qm/0set"}},
        {"/qm/{,1}{,2}{,7}/set", {"/qm//set", "/qm/127/set", "/qm/17/set"}, {"/qm/71/set", "/qm/11/set"}},
        {"/{,ab}{,a}{,ab}", {"/abab", "/aab", "/abaab"}, {"/aaa", "/ababab"}},
        {"/qm/0/*{,x}", {"/qm/0/", "/qm/0/set"}, {"/qm/1/set"}},
        // Never closed.
        {"/qm/0/[set", {}, {"/qm/0/s", "/qm/0/[set"}},
        {"/qm/0/{set", {}, {"/qm/0/set", "/qm/0/{set"}},
        // Where liblo is plainly wrong.
        {"[a-]", {"a", "-"}, {"b"}},
        {"[!a-]", {"b"}, {"a", "-"}},
        {"/qm/0/{set}*", {"/qm/0/set", "/qm/0/sets"}, {"/qm/0/se"}},
        {"/qm/0/set{,s}", {"/qm/0/set", "/qm/0/sets"}, {"/qm/0/se"}},
        {"/{ab,}b", {"/b", "/abb"}, {"/ab"}},
        {"/qm/0/se[!", {}, {"/qm/0/se", "/qm/0/set"}},
        // Long ones, and those that stalled liblo.
        {"/qm/*?*?*?*?*?*?*?*?[/set", {}, {all_0, all_1}},
        {"/qm/" + times("*?", 9) + "[a-z]", {all_1}, {all_0}},
        {"/qm/" + times("*?", 32768) + "[/set", {}, {all_0, all_1}},
        {"/qm/" + times("*?", 8) + times("*", 65536) + "te", {all_1}, {all_0}},
        {many + "set}", {all_0}, {"/qm/0/s9000", "/qm/1/set"}},
        {"/qm/" + times("{,0}{,1}{,2}", 5000) + "/set", {"/qm/0/set", "/qm/12/set", "/qm/012/set"},
         {"/qm/3/set", "/qm/0/get"}},
        {std::string(OscPattern::MaxPathLength, '?'), {std::string(OscPattern::MaxPathLength, 'a')}, {"a"}},
        {"*", {std::string(OscPattern::MaxPathLength, 'a')}, {std::string(OscPattern::MaxPathLength + 1, 'a')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern.substr(0, 40));
        const OscPattern pattern(c.pattern.c_str());
        for (const std::string& path : c.match) EXPECT_TRUE(pattern.matches(path)) << path;
        for (const std::string& path : c.miss) EXPECT_FALSE(pattern.matches(path)) << path;
    }
}

} // namespace
