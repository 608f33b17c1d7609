// A stream that runs for days still makes each frame where it counts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "rate_stream.h"

using namespace Quillomat;

namespace {

const int kPeriod = 16;

// Two channels of a saw, half a period apart: one of them is always far from
// its drop, so a frame's place can be read back from its value.
void saw(float* out, long from, nframes_t n) {
    for (nframes_t j = 0; j < n; ++j) {
        const long t = from + (long)j;
        out[2 * j] = (float)(t % kPeriod) / kPeriod;
        out[2 * j + 1] = (float)((t + kPeriod / 2) % kPeriod) / kPeriod;
    }
}

// The far frames of one way, read back as places among the near frames.
struct Places {
    double step;         // near frames per far frame, roughly
    long seen = 0;
    double worst = 0.0;  // the furthest a frame lay outside the stretch that should make it

    double at(const float* f, long i) const {
        const double expect = -1.0 + step * (double)i;
        const double w = expect - kPeriod * std::floor(expect / kPeriod);
        const bool second = w < 2.0 || w >= kPeriod - 2.0;
        const double v = f[2 * (i - seen) + (second ? 1 : 0)] * kPeriod - (second ? kPeriod / 2 : 0);
        return expect + std::remainder(v - w, kPeriod);
    }
    // A stretch that took the near frames from `before` to `after` made these
    // k: each lies Lookahead frames before the input it reached, and not
    // before the input the stretch before reached.
    void made(const float* f, nframes_t k, long before, long after) {
        const double edge = -(double)RateStream::Lookahead;
        if (k > 0 && seen >= 8) {  // the stream's first frame comes twice
            worst = std::max({worst, at(f, seen + k - 1) - (after + edge), (before + edge) - at(f, seen)});
        }
        seen += k;
    }
};

// Every frame lies within a hundred-thousandth of a frame of where the
// stream counts it after 2^24 loop frames: a drift that would move a frame in
// 48 hours at 192 kHz is a hundred times that.
TEST(RateStreamLongRun, FramesLieWhereTheyAreCountedHoweverLongTheStreamRuns) {
    for (double rate : {3.94916534, 3.96826315}) {
        RateStream s;
        int err = 0;
        ASSERT_TRUE(s.build(SRC_LINEAR, 2, err));
        s.reserve(128, 512);
        s.set_ratio(rate);
        const nframes_t n = 64;
        std::vector<float> in(2 * 512), loop(2 * 512), sync(512, 0.0f), loop_sync(512);

        // To the loop: n block frames a stretch.
        Places to_loop{1.0 / rate};
        for (long given = 0; to_loop.seen < (1L << 24); given += n) {
            saw(in.data(), given, n);
            const nframes_t m = s.to_loop(in.data(), n, loop.data(), sync.data(), loop_sync.data());
            to_loop.made(loop.data(), m, given, given + n);
        }
        EXPECT_LT(to_loop.worst, 1e-5) << "to the loop at rate " << rate;

        // Back: n loop frames a stretch, what they make handed out at once;
        // a frame handed out twice is the queue running dry.
        s.restart();
        s.to_loop(in.data(), 0, loop.data(), sync.data(), loop_sync.data());
        Places back{rate};
        float last[2] = {-1.0f, -1.0f};
        for (long given = 0; given < (1L << 24); given += n) {
            saw(loop.data(), given, n);
            s.to_block(loop.data(), n, in.data(), 0, loop_sync.data(), nullptr);
            s.to_block(loop.data(), 0, in.data(), 128, loop_sync.data(), nullptr);
            nframes_t k = 0;
            for (nframes_t j = 0; j < 128; ++j) {
                if (in[2 * j] == last[0] && in[2 * j + 1] == last[1]) continue;
                last[0] = in[2 * k] = in[2 * j];
                last[1] = in[2 * k + 1] = in[2 * j + 1];
                ++k;
            }
            back.made(in.data(), k, given, given + n);
        }
        EXPECT_LT(back.worst, 1e-5) << "back from the loop at rate " << rate;
    }
}

} // namespace
