#include "panner.h"

#include <gtest/gtest.h>
#include <kvo/xml++.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "alloc_counter.h"

using namespace Quillomat;

namespace {

// Output buffers for one block, plus a constant input of 1.
struct Bus {
    std::vector<std::vector<sample_t>> out;
    std::vector<sample_t*> ptrs;
    std::vector<sample_t> src;
    Bus(size_t nouts, size_t nframes) : out(nouts, std::vector<sample_t>(nframes, 0.0f)), src(nframes, 1.0f) {
        for (auto& o : out) ptrs.push_back(o.data());
    }
    void run(StreamPanner* s) {
        for (auto& o : out) std::fill(o.begin(), o.end(), 0.0f);
        s->distribute(src.data(), ptrs.data(), 1.0f, static_cast<nframes_t>(src.size()));
    }
};

float xpos(const StreamPanner* s) {
    float x;
    s->get_position(x);
    return x;
}

std::string text_of(XMLNode& node) {
    XMLTree tree;
    tree.set_root(&node);
    return tree.write_buffer();
}

std::unique_ptr<XMLTree> parse(const std::string& text) {
    std::unique_ptr<XMLTree> tree(new XMLTree);
    EXPECT_TRUE(tree->read_buffer(text));
    return tree;
}

} // namespace

TEST(EqualPowerPanner, PanLawAtCentreAndHardSides) {
    Panner p("pan");
    p.reset(2, 1);
    ASSERT_EQ(p.size(), 1u);
    Bus bus(2, 128);
    bus.run(p[0]); // first block: no ramp
    for (size_t i = 0; i < 128; ++i) {
        EXPECT_NEAR(bus.out[0][i], 0.70795f, 1e-5f);
        EXPECT_NEAR(bus.out[1][i], 0.70795f, 1e-5f);
    }

    p.reset(2, 2);
    auto* l = static_cast<EqualPowerStereoPanner*>(p.front());
    auto* r = static_cast<EqualPowerStereoPanner*>(p.back());
    EXPECT_EQ(l->desired_left_gain(), 1.0f);
    EXPECT_EQ(l->desired_right_gain(), 0.0f);
    EXPECT_EQ(r->desired_left_gain(), 0.0f);
    EXPECT_EQ(r->desired_right_gain(), 1.0f);

    l->set_position(0.25f);
    EXPECT_NEAR(l->desired_left_gain(), 0.90596f, 1e-5f);
    EXPECT_NEAR(l->desired_right_gain(), 0.40596f, 1e-5f);
}

TEST(EqualPowerPanner, RampsOverFirst64FramesThenSettles) {
    Panner p("pan");
    p.reset(2, 1);
    StreamPanner* s = p[0];
    Bus bus(2, 256);
    s->set_position(0.0f);
    bus.run(s);

    for (size_t i = 1; i < 64; ++i) {
        EXPECT_GT(bus.out[0][i], bus.out[0][i - 1]) << i;
        EXPECT_LT(bus.out[1][i], bus.out[1][i - 1]) << i;
    }
    EXPECT_GT(bus.out[0][0], 0.70795f);
    EXPECT_LT(bus.out[0][63], 1.0f);
    for (size_t i = 64; i < 256; ++i) { // holds the reached gain
        EXPECT_EQ(bus.out[0][i], bus.out[0][63]);
        EXPECT_EQ(bus.out[1][i], bus.out[1][63]);
    }

    float peak = 0.0f;
    for (int block = 0; block < 200; ++block) {
        bus.run(s);
        peak = std::max(peak, bus.out[0][0]);
    }
    EXPECT_GT(peak, 1.0f); // overshoots on the way
    for (size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(bus.out[0][i], 1.0f); // snapped
        EXPECT_EQ(bus.out[1][i], 0.0f); // gain 0 adds nothing
    }

    s->set_position(0.0005f); // within 0.002: snaps at once
    bus.run(s);
    auto* eq = static_cast<EqualPowerStereoPanner*>(s);
    EXPECT_EQ(bus.out[0][0], eq->desired_left_gain());
    EXPECT_EQ(bus.out[0][255], eq->desired_left_gain());

    s->set_muted(true);
    bus.run(s);
    EXPECT_EQ(*std::max_element(bus.out[0].begin(), bus.out[0].end()), 0.0f);
}

// A pan control may carry any finite number; beyond 0..1 the law's gains grow
// without bound (infinite far enough out) and would put inf and NaN into the mix.
TEST(EqualPowerPanner, PositionsOutsideTheUnitRangePanHardToThatSide) {
    Panner p("pan");
    p.reset(2, 1);
    StreamPanner* s = p[0];
    auto* eq = static_cast<EqualPowerStereoPanner*>(s);
    Bus bus(2, 64);
    for (float x : {1e20f, -1e20f, 3.0f, -0.5f}) {
        s->set_position(x);
        EXPECT_EQ(xpos(s), x); // the position itself is kept as given
        const bool right = x > 0.5f;
        EXPECT_EQ(eq->desired_left_gain(), right ? 0.0f : 1.0f) << x;
        EXPECT_EQ(eq->desired_right_gain(), right ? 1.0f : 0.0f) << x;
        for (int block = 0; block < 50; ++block) {
            bus.run(s);
            for (size_t k = 0; k < 2; ++k) {
                for (sample_t v : bus.out[k]) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 2.0f) << x << " " << v;
            }
        }
    }
}

TEST(Multi2dPanner, GainsFromSquaredDistancesKeptPerStream) {
    Panner p("pan");
    p.reset(4, 2);
    ASSERT_EQ(p.outputs.size(), 4u);
    auto* a = static_cast<Multi2dPanner*>(p[0]);
    auto* b = static_cast<Multi2dPanner*>(p[1]);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(a->gain(i), 0.5f);

    // Stream a on output 0: squared distances 0, 1, 2, 1, norm sqrt(6).
    a->set_position(0.0f, 0.0f);
    b->set_position(1.0f, 1.0f); // updated last: must not change a's gains
    const float inv = 1.0f / std::sqrt(6.0f);
    Bus bus(4, 16);
    bus.run(a);
    EXPECT_EQ(bus.out[0][5], 1.0f);
    EXPECT_NEAR(bus.out[1][5], 1.0f - inv, 1e-6f);
    EXPECT_NEAR(bus.out[2][5], 1.0f - 2.0f * inv, 1e-6f);
    EXPECT_NEAR(bus.out[3][5], 1.0f - inv, 1e-6f);
    bus.run(b);
    EXPECT_NEAR(bus.out[0][5], 1.0f - 2.0f * inv, 1e-6f);
    EXPECT_EQ(bus.out[2][5], 1.0f);
    b->set_muted(true);
    bus.run(b);
    for (auto& o : bus.out) EXPECT_EQ(*std::max_element(o.begin(), o.end()), 0.0f);

    Panner tri("pan");
    tri.reset(3, 1);
    tri[0]->set_position(0.5f, 0.0f); // on output 0; the others at 1.25
    auto* t = static_cast<Multi2dPanner*>(tri[0]);
    EXPECT_FLOAT_EQ(t->gain(0), 1.0f);
    EXPECT_NEAR(t->gain(1), 1.0f - 1.25f / std::sqrt(2.0f * 1.25f * 1.25f), 1e-6f);
    EXPECT_FLOAT_EQ(t->gain(1), t->gain(2));
}

TEST(Panner, ResetLayouts) {
    Panner p("pan");
    int changes = 0;
    p.Changed.connect([&] { ++changes; });
    p.reset(2, 2);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(xpos(p.front()), 0.0f);
    EXPECT_EQ(xpos(p.back()), 1.0f);
    EXPECT_EQ(p.outputs[1].x, 1.0f);
    p.reset(2, 2);
    p.reset(1, 3);
    p.reset(0, 3);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(p.size(), 2u);

    p.reset(6, 1);
    ASSERT_EQ(p.outputs.size(), 6u);
    EXPECT_FLOAT_EQ(p.outputs[3].x, 0.3f);
    EXPECT_FLOAT_EQ(p.outputs[5].y, 0.5f);
    EXPECT_NE(dynamic_cast<Multi2dPanner*>(p[0]), nullptr);

    Panner linked("pan"); // the link must not drag both streams to one side
    linked.set_linked(true);
    linked.reset(2, 2);
    EXPECT_EQ(xpos(linked.front()), 0.0f);
    EXPECT_EQ(xpos(linked.back()), 1.0f);
}

TEST(Panner, LinkedStreamsMoveTogether) {
    Panner p("pan");
    p.reset(2, 2);
    p.front()->set_position(0.3f);
    p.back()->set_position(0.5f);
    p.set_linked(true);
    p.back()->set_position(0.7f);
    EXPECT_FLOAT_EQ(xpos(p.front()), 0.5f);

    p.set_link_direction(Panner::OppositeDirection);
    p.back()->set_position(0.9f); // front: 0.5 - 0.2
    EXPECT_FLOAT_EQ(xpos(p.front()), 0.3f);
    p.back()->set_position(1.5f); // moved stream unclamped, the other stops at 0
    EXPECT_FLOAT_EQ(xpos(p.back()), 1.5f);
    EXPECT_EQ(xpos(p.front()), 0.0f);

    p.set_linked(false);
    p.back()->set_position(0.2f);
    EXPECT_EQ(xpos(p.front()), 0.0f);
}

TEST(PannerState, StereoRoundTripExactText) {
    Panner p("pan");
    p.reset(2, 2);
    const std::string text = text_of(p.state(true));
    EXPECT_EQ(text, "<?xml version=\"1.0\"?>\n"
                    "<Panner linked=\"no\" link_direction=\"0\" bypassed=\"no\">"
                    "<StreamPanner x=\"0.000000\" type=\"Equal Power Stereo\" muted=\"no\"/>"
                    "<StreamPanner x=\"1.000000\" type=\"Equal Power Stereo\" muted=\"no\"/>"
                    "<Output x=\"0.000000\" y=\"0.000000\"/><Output x=\"1.000000\" y=\"0.000000\"/>"
                    "</Panner>\n");

    p.front()->set_position(0.25f);
    p.back()->set_muted(true);
    p.set_linked(true);
    int bypass_signals = 0;
    p.StateChanged.connect([&] { ++bypass_signals; });
    p.set_bypassed(true);
    p.set_bypassed(true);
    EXPECT_EQ(bypass_signals, 1);
    auto tree = parse(text_of(p.get_state()));
    Panner q("pan");
    q.reset(2, 2);
    EXPECT_EQ(q.set_state(*tree->root()), 0);
    ASSERT_EQ(q.size(), 2u);
    EXPECT_FLOAT_EQ(xpos(q.front()), 0.25f);
    EXPECT_EQ(xpos(q.back()), 1.0f); // not moved by the linked read
    EXPECT_TRUE(q.back()->muted());
    EXPECT_TRUE(q.linked());
    EXPECT_TRUE(q.bypassed());
}

TEST(PannerState, Linked2dRoundTripKeepsEveryPosition) {
    Panner p("pan");
    p.reset(4, 2);
    p[0]->set_position(0.2f, 0.1f);
    p[1]->set_position(0.8f, 0.9f);
    p.set_linked(true);
    p.set_link_direction(Panner::OppositeDirection);
    const std::string text = text_of(p.state(true));
    EXPECT_NE(text.find("<StreamPanner x=\"0.200000\" y=\"0.100000\" type=\"Multiple (2D)\"/>"), std::string::npos);
    EXPECT_NE(text.find("link_direction=\"1\""), std::string::npos);

    auto tree = parse(text);
    Panner q("pan");
    q.reset(4, 2);
    EXPECT_EQ(q.set_state(*tree->root()), 0);
    ASSERT_EQ(q.size(), 2u);
    float x0, y0, x1, y1;
    q[0]->get_position(x0, y0);
    q[1]->get_position(x1, y1);
    EXPECT_EQ(std::vector<float>({x0, y0, x1, y1}), std::vector<float>({0.2f, 0.1f, 0.8f, 0.9f}));
    EXPECT_EQ(q.link_direction(), Panner::OppositeDirection);
}

TEST(PannerState, BadElementsSkippedAndShortReadsReset) {
    const std::string out2 = "<Output x=\"0\" y=\"0\"/><Output x=\"1\" y=\"0\"/>";
    Panner p("pan");
    p.reset(2, 2);

    testing::internal::CaptureStderr();
    auto tree = parse("<Panner>" + out2 + "<StreamPanner x=\"0.1\" type=\"Equal Power Stereo\"/>"
                      "<StreamPanner x=\"0.2\" type=\"Bogus\"/>"
                      "<StreamPanner x=\"0.3\" type=\"Equal Power Stereo\"/></Panner>");
    EXPECT_EQ(p.set_state(*tree->root()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Unknown panner plugin found in pan state - ignored"),
              std::string::npos);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_FLOAT_EQ(xpos(p.back()), 0.3f);

    // No type stops the read; one stream for two channels is put right.
    testing::internal::CaptureStderr();
    tree = parse("<Panner>" + out2 + "<StreamPanner x=\"0.1\" type=\"Equal Power Stereo\"/>"
                 "<StreamPanner x=\"0.2\"/></Panner>");
    EXPECT_EQ(p.set_state(*tree->root()), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("panner plugin node has no type information!"),
              std::string::npos);
    EXPECT_EQ(p.size(), 2u);
    EXPECT_EQ(p.outputs.size(), 2u);

    // More outputs than the engine has, and the wrong stream kind for them.
    testing::internal::CaptureStderr();
    tree = parse("<Panner>" + out2 + "<Output x=\"1\" y=\"1\"/>"
                 "<StreamPanner x=\"0.5\" y=\"0.5\" type=\"Multiple (2D)\"/>"
                 "<StreamPanner x=\"0.5\" y=\"-1\" type=\"Multiple (2D)\"/></Panner>");
    EXPECT_EQ(p.set_state(*tree->root()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("badly-formed positional data for Multi2dPanner - ignored"),
              std::string::npos);
    EXPECT_EQ(p.outputs.size(), 2u);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_NE(dynamic_cast<EqualPowerStereoPanner*>(p[1]), nullptr);
}

TEST(PannerState, MalformedNumbersNeverReachTheGains) {
    Panner p("pan");
    p.reset(2, 1);
    testing::internal::CaptureStderr();
    auto tree = parse("<Panner link_direction=\"zz\"><Output x=\"0\" y=\"0\"/><Output x=\"1\" y=\"0\"/>"
                      "<StreamPanner x=\"nan\" type=\"Equal Power Stereo\" muted=\"yes\"/></Panner>");
    EXPECT_EQ(p.set_state(*tree->root()), 0);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(xpos(p[0]), 0.5f);
    EXPECT_TRUE(p[0]->muted());
    EXPECT_EQ(p.link_direction(), Panner::SameDirection);

    Panner q("pan");
    q.reset(3, 1);
    tree = parse("<Panner><Output x=\"0.5\" y=\"0\"/><Output x=\"abc\" y=\"1\"/><Output x=\"1\" y=\"1\"/>"
                 "<StreamPanner x=\"1e999\" y=\"0.5\" type=\"Multiple (2D)\"/></Panner>");
    q.set_state(*tree->root());
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(q.outputs.size(), 3u); // reset back to the engine's layout
    ASSERT_EQ(q.size(), 1u);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(std::isfinite(static_cast<Multi2dPanner*>(q[0])->gain(i)));
}

TEST(Panner, AudioPathMakesNoAllocation) {
    Panner stereo("pan"), quad("pan");
    stereo.reset(2, 2);
    quad.reset(4, 2);
    stereo.set_linked(true);
    quad.set_linked(true);
    Bus b2(2, 256), b4(4, 256);
    qmtest::AllocationCounter counter;
    for (int block = 0; block < 4; ++block) {
        stereo.front()->set_position(0.1f * block);
        quad.front()->set_position(0.2f * block, 0.3f);
        for (StreamPanner* s : stereo) s->distribute(b2.src.data(), b2.ptrs.data(), 0.5f, 256);
        for (StreamPanner* s : quad) s->distribute(b4.src.data(), b4.ptrs.data(), 1.0f, 256);
    }
    EXPECT_EQ(counter.count(), 0u);
}
