// Sessions as text and as files: the document's exact names, round trips,
// and documents that cannot be used whole, which change nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <kvo/xml++.h>

#include "engine_fixture.h"
#include "version.h"

using namespace Quillomat;
using qmtest::EngineRig;

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The text with the value after the first `from` (up to its closing quote)
// replaced by `to`.
std::string value_replaced(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at + from.size(), text.find('"', at + from.size()) - at - from.size(), to);
    return text;
}

std::string temp_file(const char* name)
{
    return ::testing::TempDir() + "qm_session_" + std::to_string(getpid()) + "_" + name;
}

TEST(Session, SavedDocumentHasTheGlobalsAndOneLooperPerLoop)
{
    EngineRig rig;
    ASSERT_TRUE(rig.add(1) && rig.add(2));
    std::string text;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(rig.engine.save_session("", &text));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    XMLTree tree;
    ASSERT_TRUE(tree.read_buffer(text));
    XMLNode* root = tree.root();
    ASSERT_EQ(root->name(), "QMSession");
    ASSERT_NE(root->property("version"), nullptr);
    EXPECT_EQ(root->property("version")->value(), quillomat_version);

    XMLNode* globals = root->find_named_node("Globals");
    ASSERT_NE(globals, nullptr);
    const std::vector<std::pair<std::string, std::string>> expect = {
        {"tempo", "110"},      {"eighth_per_cycle", "16"}, {"common_dry", "1"},
        {"common_wet", "1"},   {"input_gain", "1"},        {"sync_source", "0"}};
    std::vector<std::pair<std::string, std::string>> got;
    for (const XMLProperty* p : globals->properties()) got.emplace_back(p->name(), p->value());
    EXPECT_EQ(got, expect);

    XMLNode* loopers = root->find_named_node("Loopers");
    ASSERT_NE(loopers, nullptr);
    const XMLNodeList list = loopers->children("Looper");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.back()->property("channels")->value(), "2");
}

TEST(Session, TextAndFileGiveBackLoopsAndGlobals)
{
    EngineRig rig;
    ASSERT_TRUE(rig.add(1) && rig.add(2) && rig.add(3));
    ASSERT_TRUE(rig.engine.set_global_param("eighth_per_cycle", 12.0f));
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", 3.0f));  // loop 2 leads
    ASSERT_TRUE(rig.engine.set_global_param("wet", 0.5f));
    rig.run(2);  // the levels ramp to their targets
    ASSERT_TRUE(rig.engine.set_global_param("tempo", 92.5f));  // the empty master loop set 0

    // Numbers keep their full stop whatever the process's locale.
    const char* comma = setlocale(LC_NUMERIC, "de_DE.UTF-8");
    std::string text;
    const std::string file = temp_file("roundtrip.qms");
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(rig.engine.save_session(file, &text));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Stored session as " + file + "\n");
    setlocale(LC_NUMERIC, "C");
    if (comma) {
        EXPECT_NE(text.find("tempo=\"92.5\""), std::string::npos);
    }

    for (int from = 0; from < 2; ++from) {
        SCOPED_TRACE(from == 0 ? "text" : "file");
        rig.engine.remove_all_loops();
        ASSERT_TRUE(rig.add(4));
        ASSERT_TRUE(rig.engine.set_global_param("tempo", 120.0f));
        ASSERT_TRUE(rig.engine.set_global_param("sync_source", 0.0f));
        ASSERT_TRUE(rig.engine.set_global_param("wet", 1.0f));
        rig.settle();
        ASSERT_TRUE(from == 0 ? rig.engine.load_session("text", &text) : rig.engine.load_session(file));
        EXPECT_EQ(rig.global("tempo"), 92.5f);
        rig.settle();
        EXPECT_EQ(rig.engine.loop_count(), 3u);
        for (int l = 0; l < 3; ++l) {
            EXPECT_EQ(rig.engine.get_control_value(Event::ChannelCount, (int8_t)l), (float)(l + 1));
        }
        EXPECT_EQ(rig.global("eighth_per_cycle"), 12.0f);
        EXPECT_EQ(rig.global("sync_source"), 3.0f);
        EXPECT_EQ(rig.global("wet"), 0.5f);
    }
    std::remove(file.c_str());
}

TEST(Session, DocumentsThatCannotBeUsedWholeChangeNothing)
{
    EngineRig rig;
    ASSERT_TRUE(rig.add(1) && rig.add(1));
    std::string good;
    ASSERT_TRUE(rig.engine.save_session("", &good));
    std::string many = "<QMSession><Loopers>";
    for (int k = 0; k < 129; ++k) many += "<Looper/>";
    many += "</Loopers></QMSession>";

    const std::vector<std::pair<const char*, std::string>> bad = {
        {"empty", ""},
        {"not XML", "tempo=120"},
        {"cut short", good.substr(0, good.size() / 2)},
        {"other root", replaced(replaced(good, "<QMSession", "<Session"), "</QMSession", "</Session")},
        {"no loops element", replaced(replaced(good, "<Loopers>", "<Other>"), "</Loopers>", "</Other>")},
        {"tempo negative", replaced(good, "tempo=\"110\"", "tempo=\"-5\"")},
        {"tempo not finite", replaced(good, "tempo=\"110\"", "tempo=\"nan\"")},
        {"tempo a number only in part", replaced(good, "tempo=\"110\"", "tempo=\"-5bpm\"")},
        {"eighths not finite", replaced(good, "eighth_per_cycle=\"16\"", "eighth_per_cycle=\"nan\"")},
        {"eighths 0", replaced(good, "eighth_per_cycle=\"16\"", "eighth_per_cycle=\"0\"")},
        {"dry infinite", replaced(good, "common_dry=\"1\"", "common_dry=\"inf\"")},
        {"sync source far out", replaced(good, "sync_source=\"0\"", "sync_source=\"1000\"")},
        {"too many loops", many},
        // A loop holding what no loop holds is corrupt.
        {"rate NaN", value_replaced(good, "name=\"rate\" value=\"", "nan")},
        {"wet NaN", value_replaced(good, "name=\"wet\" value=\"", "NaN")},
        {"dry NaN", value_replaced(good, "name=\"dry\" value=\"", "nan")},
        {"fade_samples NaN", value_replaced(good, "name=\"fade_samples\" value=\"", "nan")},
        {"scratch_pos NaN", value_replaced(good, "name=\"scratch_pos\" value=\"", "nan")},
        {"rec_thresh infinite", value_replaced(good, "name=\"rec_thresh\" value=\"", "-inf")},
        {"feedback past a float", value_replaced(good, "name=\"feedback\" value=\"", "1e39")},
        {"pan NaN", value_replaced(good, " x=\"", "nan")},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.first);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(rig.engine.load_session(b.first, &b.second));
        EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
        rig.settle();
        EXPECT_EQ(rig.engine.loop_count(), 2u);
        EXPECT_EQ(rig.global("tempo"), 110.0f);
        EXPECT_EQ(rig.global("eighth_per_cycle"), 16.0f);
        EXPECT_EQ(rig.global("dry"), 1.0f);
    }
    EXPECT_EQ(rig.removed_signals, 0);
    EXPECT_FALSE(rig.engine.load_session(temp_file("missing.qms")));
    EXPECT_EQ(rig.engine.loop_count(), 2u);
}

TEST(Session, OneLoopThatCannotBeRestoredRefusesTheWholeSession)
{
    const std::string controls = "<Controls><Control name=\"wet\" value=\"0.5\"/></Controls>";
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"no channels", "index=\"1\" channels=\"0\" loop_secs=\"1\""},
        {"negative channels", "index=\"1\" channels=\"-2\" loop_secs=\"1\""},
        {"huge channels", "index=\"1\" channels=\"4294967297\" loop_secs=\"1\""},
        {"nan seconds", "index=\"1\" channels=\"1\" loop_secs=\"nan\""},
        {"channels past the limit in part", "index=\"1\" channels=\"65.5\" loop_secs=\"1\""},
        {"no seconds", "index=\"1\" channels=\"1\" loop_secs=\"0\""},
        {"endless", "index=\"1\" channels=\"1\" loop_secs=\"1e30\""},
        {"negative index", "index=\"-1\" channels=\"1\" loop_secs=\"1\""},
        {"index past the loops", "index=\"128\" channels=\"1\" loop_secs=\"1\""},
        {"no controls", ""},
    };
    EngineRig rig;
    ASSERT_TRUE(rig.add(1) && rig.add(3));
    // Loop 0 holds a take.
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 0);
    rig.run(20);
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 0);
    rig.run(2);
    const float take = rig.engine.get_control_value(Event::LoopLength, 0);
    ASSERT_GT(take, 0.0f);

    const std::string file = temp_file("bad_looper.qms");
    for (const auto& b : bad) {
        const std::string second = b.second.empty()
                                       ? "<Looper index=\"1\" channels=\"1\" loop_secs=\"1\"/>"
                                       : "<Looper " + b.second + ">" + controls + "</Looper>";
        const std::string doc = "<QMSession><Globals tempo=\"95\"/><Loopers><Looper index=\"0\" channels=\"1\" "
                                "loop_secs=\"1\">" + controls + "</Looper>" + second + "</Loopers></QMSession>";
        for (int from = 0; from < 2; ++from) {
            SCOPED_TRACE(std::string(b.first) + (from == 0 ? " (text)" : " (file)"));
            ::testing::internal::CaptureStderr();
            if (from == 0) {
                EXPECT_FALSE(rig.engine.load_session("text", &doc));
            } else {
                {
                    std::ofstream out(file);
                    out << doc;
                }
                EXPECT_FALSE(rig.engine.load_session(file));
            }
            EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
            rig.settle();
            EXPECT_EQ(rig.engine.loop_count(), 2u);
            EXPECT_EQ(rig.engine.get_control_value(Event::ChannelCount, 1), 3.0f);
            EXPECT_EQ(rig.engine.get_control_value(Event::LoopLength, 0), take);
            EXPECT_EQ(rig.global("tempo"), 110.0f);
        }
    }
    EXPECT_EQ(rig.removed_signals, 0);
    std::remove(file.c_str());
}

// A number counts up to its first other character; a field that holds none
// keeps the value it has.
TEST(Session, NumbersAreReadAsFarAsTheyGo)
{
    EngineRig rig;
    ASSERT_TRUE(rig.add(1));
    const std::string text =
        "<QMSession><Globals tempo=\"120bpm\" eighth_per_cycle=\"eight\" common_wet=\"0.5x\" sync_source=\"-3.7\"/>"
        "<Loopers>"
        "<Looper index=\"0\" channels=\"2.0\" loop_secs=\"10s\"><Controls>"
        "<Control name=\"wet\" value=\"0.25dB\"/><Control name=\"feedback\" value=\"much\"/></Controls></Looper>"
        "<Looper index=\"abc\" channels=\"abc\" loop_secs=\"\"><Controls/></Looper>"
        "</Loopers></QMSession>";
    ASSERT_TRUE(rig.engine.load_session("partial numbers", &text));
    rig.settle();
    EXPECT_EQ(rig.global("tempo"), 120.0f);
    EXPECT_EQ(rig.global("eighth_per_cycle"), 16.0f);
    EXPECT_EQ(rig.global("wet"), 0.5f);
    EXPECT_EQ(rig.global("sync_source"), -3.0f);
    ASSERT_EQ(rig.engine.loop_count(), 2u);
    EXPECT_EQ(rig.engine.get_control_value(Event::ChannelCount, 0), 2.0f);
    EXPECT_EQ(rig.engine.get_control_value(Event::WetLevel, 0), 0.25f);
    EXPECT_EQ(rig.engine.get_control_value(Event::Feedback, 0), 0.0f);  // a control with no number reads 0
    // Where the loop built from a session starts: one channel of 40 seconds.
    EXPECT_EQ(rig.engine.get_control_value(Event::ChannelCount, 1), 1.0f);
    std::string saved;
    ASSERT_TRUE(rig.engine.save_session("", &saved));
    EXPECT_NE(saved.find("index=\"0\" channels=\"2\" loop_secs=\"10\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("index=\"0\" channels=\"1\" loop_secs=\"40\""), std::string::npos) << saved;
}

TEST(Session, WithoutGlobalsTheLoopsAreReplacedAndTheGlobalsKept)
{
    EngineRig rig;
    for (int l = 0; l < 20; ++l) ASSERT_TRUE(rig.add(1, 0.1f));
    ASSERT_TRUE(rig.engine.set_global_param("tempo", 100.0f));
    const std::string text =
        "<QMSession version=\"0\"><Loopers>"
        "<Looper index=\"0\" channels=\"2\" loop_secs=\"0.5\" discrete_io=\"yes\"><Controls/></Looper>"
        "</Loopers></QMSession>";
    ASSERT_TRUE(rig.engine.load_session("no globals", &text));
    // Twenty removals are more than the hand-over queue holds at once.
    for (int k = 0; k < 10 && rig.removed_signals < 20; ++k) rig.settle();
    EXPECT_EQ(rig.removed_signals, 20);
    EXPECT_EQ(rig.engine.loop_count(), 1u);
    EXPECT_EQ(rig.engine.get_control_value(Event::ChannelCount, 0), 2.0f);
    EXPECT_EQ(rig.global("tempo"), 100.0f);
}

} // namespace
