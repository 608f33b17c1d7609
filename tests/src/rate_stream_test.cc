// A stream that runs for days still makes each frame where it counts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "rate_stream.h"

using namespace Quillomat;

namespace {

// A saw of 16 frames on two channels half a period apart, one of them always
// far from its drop: the place a frame was made at reads back from its value.
// Each stretch of n near frames must make the far frames that lie Lookahead
// frames before its last input and after the stretch before's; `worst` is
// how far the first and last frame of a stretch lay outside that.
struct Places {
    double step;  // near frames per far frame, roughly
    long seen = 0;
    double worst = 0.0;

    static void saw(float* out, long from, nframes_t n) {
        for (long t = from; t < from + (long)n; ++t, out += 2) out[0] = (t % 16) / 16.0f, out[1] = ((t + 8) % 16) / 16.0f;
    }
    double at(const float* f, long i) const {
        const double expect = step * (double)i - 1.0, w = expect - 16.0 * std::floor(expect / 16.0);
        const int c = w < 2.0 || w >= 14.0;
        return expect + std::remainder(f[2 * (i - seen) + c] * 16.0 - 8.0 * c - w, 16.0);
    }
    void made(const float* f, nframes_t k, long before, long after) {
        const double edge = -(double)RateStream::Lookahead;
        if (k > 0 && seen >= 8)  // the stream's first frame comes twice
            worst = std::max({worst, at(f, seen + k - 1) - (after + edge), (before + edge) - at(f, seen)});
        seen += k;
    }
};

// 2^24 loop frames each way, in stretches of 64: a drift between what the
// stream counts and what its converters make that would move a frame within
// 48 hours at 192 kHz shows here as more than a hundred-thousandth of one.
TEST(RateStreamLongRun, FramesLieWhereTheyAreCountedHoweverLongTheStreamRuns) {
    for (double rate : {3.94916534, 3.96826315}) {
        RateStream s;
        int err = 0;
        ASSERT_TRUE(s.build(SRC_LINEAR, 2, err));
        s.reserve(128, 512);
        s.set_ratio(rate);
        const nframes_t n = 64;
        std::vector<float> block(2 * 512), loop(2 * 512), sync(512, 0.0f), loop_sync(512);
        Places to_loop{1.0 / rate}, back{rate};
        for (long given = 0; to_loop.seen < (1L << 24); given += n) {
            Places::saw(block.data(), given, n);
            const nframes_t m = s.to_loop(block.data(), n, loop.data(), sync.data(), loop_sync.data());
            to_loop.made(loop.data(), m, given, given + n);
        }
        // Back, in a new stream: what a stretch makes handed out at once, the
        // first frame's lead and the holds of a dry queue passed over.
        s.restart();
        s.to_loop(block.data(), 0, loop.data(), sync.data(), loop_sync.data());
        float last = -1.0f;
        for (long given = 0; given < (1L << 24); given += n) {
            Places::saw(loop.data(), given, n);
            s.to_block(loop.data(), n, block.data(), 0, loop_sync.data(), nullptr);
            s.to_block(loop.data(), 0, block.data(), 128, loop_sync.data(), nullptr);
            nframes_t k = 0;
            for (nframes_t j = 0; j < 128; ++j)
                if (block[2 * j] != last) last = block[2 * k] = block[2 * j], block[2 * k + 1] = block[2 * j + 1], ++k;
            back.made(block.data(), k, given, given + n);
        }
        EXPECT_LT(to_loop.worst, 1e-5) << "to the loop at rate " << rate;
        EXPECT_LT(back.worst, 1e-5) << "back at rate " << rate;
    }
}

} // namespace
