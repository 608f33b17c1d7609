#include "looper.h"

#include <gtest/gtest.h>
#include <kvo/xml++.h>

#include <memory>
#include <string>
#include <vector>

#include "looper_fixture.h"

using namespace Quillomat;
using qmtest::LooperRig;

namespace {

std::vector<std::string> prop_names(const XMLNode& node) {
    std::vector<std::string> names;
    for (const XMLProperty* p : node.properties()) names.push_back(p->name());
    return names;
}

std::string prop(const XMLNode& node, const std::string& name) {
    const XMLProperty* p = node.property(name);
    return p ? p->value() : std::string("<missing>");
}

std::vector<std::string> child_names(const XMLNode& node) {
    std::vector<std::string> names;
    for (const XMLNode* c : node.children()) names.push_back(c->name());
    return names;
}

// The value written for a control name, or "<missing>".
std::string control_value(const XMLNode& looper, const std::string& name) {
    const XMLNode* controls = looper.find_named_node("Controls");
    if (!controls) return "<no controls>";
    for (const XMLNode* c : controls->children()) {
        if (prop(*c, "name") == name) return prop(*c, "value");
    }
    return "<missing>";
}

std::unique_ptr<XMLNode> element(const std::string& text) {
    XMLTree tree;
    if (!tree.read_buffer(text) || !tree.root()) return nullptr;
    return std::unique_ptr<XMLNode>(new XMLNode(*tree.root()));
}

const char* kControls = "<Controls><Control name=\"wet\" value=\"0.5\"/></Controls>";

class LooperStateTest : public ::testing::Test {
protected:
    LooperRig rig;
};

TEST_F(LooperStateTest, WritesTheLooperElementInItsExactForm) {
    auto l = rig.make(1, 2, 30.0f, true);
    ASSERT_TRUE((*l)());
    LooperRig::control(*l, Event::UseCommonIns, 0.0f);
    LooperRig::control(*l, Event::WetLevel, 0.5f);
    LooperRig::control(*l, Event::Rate, 0.1f);
    LooperRig::control(*l, Event::DryLevel, 0.25f);  // a target until a stretch has run

    std::unique_ptr<XMLNode> node(l->get_state());
    ASSERT_TRUE(node);
    EXPECT_EQ(node->name(), "Looper");
    EXPECT_EQ(prop_names(*node), (std::vector<std::string>{"index", "channels", "loop_secs", "discrete_io",
                                                          "use_common_ins", "use_common_outs", "relative_sync"}));
    EXPECT_EQ(prop(*node, "index"), "1");
    EXPECT_EQ(prop(*node, "channels"), "2");
    EXPECT_EQ(prop(*node, "loop_secs"), "30");
    EXPECT_EQ(prop(*node, "discrete_io"), "yes");
    EXPECT_EQ(prop(*node, "use_common_ins"), "no");
    EXPECT_EQ(prop(*node, "use_common_outs"), "yes");
    EXPECT_EQ(prop(*node, "relative_sync"), "no");
    EXPECT_EQ(child_names(*node), (std::vector<std::string>{"Panner", "Controls"}));

    const XMLNode* controls = node->find_named_node("Controls");
    ASSERT_NE(controls, nullptr);
    std::vector<std::string> names;
    for (const XMLNode* c : controls->children()) {
        EXPECT_EQ(c->name(), "Control");
        EXPECT_EQ(prop_names(*c), (std::vector<std::string>{"name", "value"}));
        names.push_back(prop(*c, "name"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"rec_thresh", "dry", "wet", "feedback", "rate", "scratch_pos",
                                               "delay_trigger", "use_feedback_play", "quantize", "round",
                                               "redo_is_tap", "sync", "use_rate", "fade_samples", "playback_sync",
                                               "use_safety_feedback"}));
    EXPECT_EQ(control_value(*node, "wet"), "0.5");
    EXPECT_EQ(control_value(*node, "rate"), "0.10000000149011611938");
    EXPECT_EQ(control_value(*node, "dry"), "1");
    EXPECT_EQ(control_value(*node, "fade_samples"), "64");

    // With a single common output there is no panner and no "Panner" child.
    LooperRig single(1);
    auto lone = single.make(0, 1, 1.5f, false);
    std::unique_ptr<XMLNode> bare(lone->get_state());
    EXPECT_EQ(child_names(*bare), (std::vector<std::string>{"Controls"}));
    EXPECT_EQ(prop(*bare, "loop_secs"), "1.5");
    EXPECT_EQ(prop(*bare, "discrete_io"), "no");
}

TEST_F(LooperStateTest, RoundTripRestoresConfigurationControlsAndPanner) {
    auto src = rig.make(2, 2, 3.0f, false);
    LooperRig::control(*src, Event::UseCommonOuts, 0.0f);
    LooperRig::control(*src, Event::RelativeSync, 1.0f);
    LooperRig::control(*src, Event::Feedback, 0.75f);
    LooperRig::control(*src, Event::Quantize, 2.0f);
    LooperRig::control(*src, Event::SyncMode, 1.0f);
    LooperRig::control(*src, Event::PanChannel1, 0.25f);
    LooperRig::control(*src, Event::DryLevel, 0.5f);
    rig.block(*src);
    std::unique_ptr<XMLNode> saved(src->get_state());
    src.reset();

    Looper copy(&rig.driver, *saved);
    ASSERT_TRUE(copy());
    EXPECT_EQ(copy.get_index(), 2u);
    EXPECT_EQ(LooperRig::value(copy, Event::ChannelCount), 2.0f);
    EXPECT_EQ(LooperRig::value(copy, Event::HasDiscreteIO), 0.0f);
    EXPECT_EQ(LooperRig::value(copy, Event::UseCommonIns), 1.0f);
    EXPECT_EQ(LooperRig::value(copy, Event::UseCommonOuts), 0.0f);
    EXPECT_EQ(LooperRig::value(copy, Event::RelativeSync), 1.0f);
    EXPECT_EQ(LooperRig::value(copy, Event::Feedback), 0.75f);
    EXPECT_EQ(LooperRig::value(copy, Event::Quantize), 2.0f);
    EXPECT_EQ(LooperRig::value(copy, Event::SyncMode), 1.0f);
    EXPECT_EQ(LooperRig::value(copy, Event::DryLevel), 0.5f);
    EXPECT_EQ(LooperRig::value(copy, Event::PanChannel1), 0.25f);
    EXPECT_EQ(LooperRig::value(copy, Event::PanChannel2), 1.0f);

    std::unique_ptr<XMLNode> again(copy.get_state());
    EXPECT_EQ(prop_names(*again), prop_names(*saved));
    for (const XMLProperty* p : saved->properties()) EXPECT_EQ(prop(*again, p->name()), p->value()) << p->name();
    for (const char* name : {"dry", "feedback", "quantize", "sync", "rate", "fade_samples"}) {
        EXPECT_EQ(control_value(*again, name), control_value(*saved, name)) << name;
    }
}

TEST_F(LooperStateTest, ControlsOutsideTheLoopRangeAreSkipped) {
    auto node = element(std::string("<Looper index=\"0\" channels=\"1\" loop_secs=\"1\" discrete_io=\"no\">"
                                    "<Controls>"
                                    "<Control name=\"pan_1\" value=\"0.9\"/>"
                                    "<Control name=\"state\" value=\"7\"/>"
                                    "<Control name=\"no_such_control\" value=\"3\"/>"
                                    "<Control value=\"3\"/>"
                                    "<Control name=\"feedback\" value=\"lots\"/>"
                                    "<Control name=\"quantize\" value=\"1.5\"/>"
                                    "</Controls></Looper>"));
    ASSERT_TRUE(node);
    auto l = rig.make(0, 1, 1.0f, false);
    EXPECT_EQ(l->set_state(*node), 0);
    EXPECT_EQ(LooperRig::value(*l, Event::PanChannel1), 0.5f);
    EXPECT_EQ(LooperRig::value(*l, Event::State), 7.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::Feedback), 0.0f);  // unparsable reads as 0
    EXPECT_EQ(LooperRig::value(*l, Event::Quantize), 2.0f);  // as a client's change would be
}

TEST_F(LooperStateTest, WrongElementOrMissingControlsFail) {
    auto l = rig.make(4, 2, 1.0f, true);
    ASSERT_TRUE((*l)());
    auto wrong = element("<Loop index=\"1\" channels=\"1\"><Controls/></Loop>");
    EXPECT_EQ(l->set_state(*wrong), -1);
    EXPECT_TRUE((*l)());
    EXPECT_EQ(l->get_index(), 4u);
    EXPECT_EQ(LooperRig::value(*l, Event::ChannelCount), 2.0f);

    // Without "Controls" the looper is still rebuilt from the attributes.
    auto bare = element("<Looper index=\"5\" channels=\"1\" loop_secs=\"1\" discrete_io=\"yes\"/>");
    EXPECT_EQ(l->set_state(*bare), -1);
    EXPECT_TRUE((*l)());
    EXPECT_EQ(l->get_index(), 5u);
    EXPECT_EQ(LooperRig::value(*l, Event::ChannelCount), 1.0f);
    EXPECT_FALSE(rig.driver.has_input("loop4_in_1"));
    EXPECT_TRUE(rig.driver.has_input("loop5_in_1"));
}

TEST_F(LooperStateTest, OutOfRangeConfigurationIsRefusedWithoutTouchingTheLooper) {
    const char* bad[] = {
        "<Looper index=\"0\" channels=\"-1\" loop_secs=\"1\">%s</Looper>",
        "<Looper index=\"0\" channels=\"0\" loop_secs=\"1\">%s</Looper>",
        "<Looper index=\"0\" channels=\"4294967295\" loop_secs=\"1\">%s</Looper>",
        "<Looper index=\"0\" channels=\"100000\" loop_secs=\"1\">%s</Looper>",
        "<Looper index=\"-1\" channels=\"1\" loop_secs=\"1\">%s</Looper>",
        "<Looper index=\"100000\" channels=\"1\" loop_secs=\"1\">%s</Looper>",
        "<Looper index=\"0\" channels=\"1\" loop_secs=\"-5\">%s</Looper>",
        "<Looper index=\"0\" channels=\"1\" loop_secs=\"0\">%s</Looper>",
        "<Looper index=\"0\" channels=\"1\" loop_secs=\"nan\">%s</Looper>",
        "<Looper index=\"0\" channels=\"1\" loop_secs=\"inf\">%s</Looper>",
        "<Looper index=\"0\" channels=\"1\" loop_secs=\"1e9\">%s</Looper>",
        "<Looper index=\"0\" channels=\"65.5\" loop_secs=\"1\">%s</Looper>",
        "<Looper index=\"0\" channels=\"1\" loop_secs=\"1\"><Controls><Control name=\"rate\" value=\"nan\"/>"
        "</Controls>%s</Looper>",
    };
    auto l = rig.make(3, 2, 1.0f, true);
    LooperRig::control(*l, Event::WetLevel, 0.3f);
    const size_t asked = rig.driver.requests().size();
    for (const char* fmt : bad) {
        char text[512];
        snprintf(text, sizeof(text), fmt, kControls);
        auto node = element(text);
        ASSERT_TRUE(node) << text;
        EXPECT_EQ(l->set_state(*node), -1) << text;
        EXPECT_TRUE((*l)());
        EXPECT_EQ(l->get_index(), 3u);
        EXPECT_EQ(LooperRig::value(*l, Event::ChannelCount), 2.0f);
        EXPECT_EQ(LooperRig::value(*l, Event::WetLevel), 0.3f);

        // Built from such an element, a looper comes up with the defaults.
        Looper fresh(&rig.driver, *node);
        EXPECT_TRUE(fresh());
        EXPECT_EQ(fresh.get_index(), 0u);
        EXPECT_EQ(LooperRig::value(fresh, Event::ChannelCount), 1.0f);
        fresh.run(0, rig.block_size());
    }
    // Only the fallback loops' own ports were asked for.
    for (size_t i = asked; i < rig.driver.requests().size(); ++i) {
        const std::string& r = rig.driver.requests()[i];
        EXPECT_TRUE(r == "in:loop0_in_1" || r == "out:loop0_out_1") << r;
    }
}

TEST_F(LooperStateTest, FallbackAfterAPartialRestoreReleasesWhatItBuilt) {
    auto node = element("<Looper index=\"2\" channels=\"2\" loop_secs=\"1\" discrete_io=\"yes\"/>");
    const size_t live = rig.driver.live_ports();
    {
        Looper l(&rig.driver, *node);
        ASSERT_TRUE(l());
        EXPECT_EQ(LooperRig::value(l, Event::ChannelCount), 2.0f);
        EXPECT_EQ(rig.driver.live_ports(), live + 4);
        // The first build's ports went back before the fallback asked again.
        EXPECT_EQ(rig.driver.destroyed().size(), 4u);
        // Fallback memory: 40 seconds.
        EXPECT_NEAR(LooperRig::value(l, Event::TotalTime), 2097152.0f / 48000.0f, 1e-3);
        std::unique_ptr<XMLNode> state(l.get_state());
        EXPECT_EQ(prop(*state, "loop_secs"), "1");
    }
    EXPECT_EQ(rig.driver.live_ports(), live);
}

TEST_F(LooperStateTest, RestoredRateDrivesTheLoopsClock) {
    auto restored_node = element(std::string("<Looper index=\"0\" channels=\"1\" loop_secs=\"2\" discrete_io=\"yes\">"
                                             "<Controls><Control name=\"rate\" value=\"0.5\"/></Controls></Looper>"));
    Looper restored(&rig.driver, *restored_node);
    ASSERT_TRUE(restored());
    EXPECT_EQ(LooperRig::value(restored, Event::Rate), 0.5f);

    std::fill(rig.in(0, 0), rig.in(0, 0) + 256, 0.5f);
    LooperRig::hit(restored, Event::RECORD);
    for (int b = 0; b < 10; ++b) rig.block(restored);
    LooperRig::hit(restored, Event::RECORD);
    rig.block(restored);
    // Ten blocks at half rate: half as many frames in the loop.
    EXPECT_NEAR(LooperRig::value(restored, Event::LoopLength) * 48000.0f, 1280.0f, 4.0f);
}

TEST_F(LooperStateTest, PannerStateThatDoesNotFitIsNeverIndexedPast) {
    const char* panners[] = {
        // One stream for two channels.
        "<Panner linked=\"no\" link_direction=\"0\" bypassed=\"no\">"
        "<StreamPanner x=\"0.2\" type=\"Equal Power Stereo\" muted=\"no\"/>"
        "<Output x=\"0\" y=\"0\"/><Output x=\"1\" y=\"0\"/></Panner>",
        // Four outputs for an engine with two.
        "<Panner linked=\"no\" link_direction=\"0\" bypassed=\"no\">"
        "<StreamPanner x=\"0.5\" y=\"0.5\" type=\"Multiple (2D)\"/>"
        "<StreamPanner x=\"0.5\" y=\"0.5\" type=\"Multiple (2D)\"/>"
        "<Output x=\"0\" y=\"0\"/><Output x=\"1\" y=\"0\"/><Output x=\"1\" y=\"1\"/><Output x=\"0\" y=\"1\"/>"
        "</Panner>",
        // A stream without a type stops the read.
        "<Panner linked=\"no\" link_direction=\"0\" bypassed=\"no\"><StreamPanner x=\"0.5\"/>"
        "<Output x=\"0\" y=\"0\"/><Output x=\"1\" y=\"0\"/></Panner>",
    };
    for (const char* p : panners) {
        auto node = element(std::string("<Looper index=\"0\" channels=\"2\" loop_secs=\"1\" discrete_io=\"no\">") +
                            p + kControls + "</Looper>");
        ASSERT_TRUE(node);
        Looper l(&rig.driver, *node);
        ASSERT_TRUE(l());
        for (unsigned int k = 0; k < 2; ++k) std::fill(rig.common_in(k), rig.common_in(k) + 256, 0.25f);
        LooperRig::hit(l, Event::RECORD);
        for (int b = 0; b < 4; ++b) rig.block(l);
        LooperRig::control(l, Event::PanChannel2, 0.7f);
        LooperRig::control(l, Event::PanChannel4, 0.7f);
        for (int b = 0; b < 4; ++b) rig.block(l);
        std::unique_ptr<XMLNode> state(l.get_state());
        EXPECT_EQ(child_names(*state).front(), "Panner");
    }
}

} // namespace
