// A live looper as the engine uses it: the audio thread runs it in stretches
// and applies queued events between them, while the engine thread loads,
// saves and reads it.
#include "looper.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <kvo/xml++.h>

#include "looper_fixture.h"
#include "ringbuffer.h"

using namespace Quillomat;
using qmtest::LooperRig;

namespace {

const long kFrames = 48000;
const float kLevels[] = {0.1f, 0.3f, 0.5f};

bool write_level(const std::string& path, float level) {
    SF_INFO info = {};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<float> data((size_t)kFrames * 2, level);
    const bool ok = sf_writef_float(f, data.data(), kFrames) == kFrames;
    return sf_close(f) == 0 && ok;
}

// One version of the loop: every sample of both channels at one loaded level.
::testing::AssertionResult one_version(const std::string& path) {
    SF_INFO info = {};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return ::testing::AssertionFailure() << "cannot open " << path;
    std::vector<float> data((size_t)info.frames * (size_t)info.channels);
    sf_readf_float(f, data.data(), info.frames);
    sf_close(f);
    if (info.channels != 2 || info.frames != kFrames) {
        return ::testing::AssertionFailure() << info.channels << " channels, " << info.frames << " frames";
    }
    bool known = false;
    for (float level : kLevels) known = known || std::fabs(data[0] - level) < 1e-6f;
    if (!known) return ::testing::AssertionFailure() << "level " << data[0];
    for (size_t i = 0; i < data.size(); ++i) {
        if (std::fabs(data[i] - data[0]) > 1e-6f) {
            return ::testing::AssertionFailure() << "frame " << i / 2 << " channel " << i % 2 << ": " << data[i]
                                                 << " in a loop at " << data[0];
        }
    }
    return ::testing::AssertionSuccess();
}

Event control_event(Event::control_t control, float value) {
    Event ev;
    ev.Type = Event::type_control_change;
    ev.Command = Event::UNKNOWN;
    ev.Control = control;
    ev.Value = value;
    return ev;
}

TEST(LooperThreads, EngineThreadLoadsSavesAndReadsWhileTheAudioRuns) {
    char tmpl[] = "/tmp/qm_looper_mt_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::vector<std::string> files;
    for (float level : kLevels) {
        files.push_back(dir + "/level" + std::to_string(files.size()) + ".wav");
        ASSERT_TRUE(write_level(files.back(), level));
    }
    const std::string saved = dir + "/saved.wav";

    LooperRig rig;
    auto l = rig.make(0, 2, 4.0f, true);
    ASSERT_TRUE((*l)());
    // Built here before it goes live: two versions to undo and redo between.
    // Its input is not recorded, but passes dry to its own outputs.
    LooperRig::control(*l, Event::UseCommonIns, 0.0f);
    LooperRig::control(*l, Event::InputGain, 0.0f);
    rig.block(*l);
    ASSERT_TRUE(l->load_loop(files[0]));
    rig.block(*l);
    ASSERT_TRUE(l->load_loop(files[1]));
    rig.block(*l);

    RingBuffer<Event> to_audio(256);
    std::atomic<bool> stop{false};
    std::atomic<int> during_load{0};  // a fade length to set while a load runs
    std::atomic<int> set_during_load{0};
    std::atomic<long> blocks{0};

    std::thread audio([&] {
        Event ev;
        for (long b = 1; !stop.load(); ++b) {
            for (unsigned int c = 0; c < 2; ++c) std::fill(rig.in(0, c), rig.in(0, c) + 256, 1.0f);
            rig.begin_block();
            while (to_audio.read(&ev, 1) == 1) l->do_event(&ev);
            l->run(0, 100);
            while (to_audio.read(&ev, 1) == 1) l->do_event(&ev);
            l->run(100, 156);

            // Only a load makes the dry input vanish from the outputs (the
            // pass-through applies the input gain, 0 here).
            bool loading = true;
            for (unsigned int c = 0; c < 2; ++c) {
                for (nframes_t j = 0; j < 256; ++j) loading = loading && rig.out(0, c)[j] == 0.0f;
            }
            int fade = during_load.load();
            if (loading && fade != 0) {
                Event change = control_event(Event::FadeSamples, (float)fade);
                l->do_event(&change);
                change = control_event(Event::TriggerThreshold, (float)fade / 1000.0f);
                l->do_event(&change);
                if (during_load.compare_exchange_strong(fade, 0)) set_during_load.fetch_add(1);
            }
            if (b % 24 == 0) LooperRig::hit(*l, (b / 24) % 2 ? Event::UNDO : Event::REDO);
            blocks.store(b);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });

    auto wait_blocks = [&](long n) {
        const long until = blocks.load() + n;
        while (blocks.load() < until) std::this_thread::yield();
    };

    for (int i = 0; i < 40 && (i < 12 || set_during_load.load() < 2); ++i) {
        for (int ctrl = 0; ctrl <= (int)Event::PanChannel4; ++ctrl) l->get_control_value((Event::control_t)ctrl);
        std::unique_ptr<XMLNode> state(l->get_state());
        ASSERT_TRUE(state);
        l->emit_pending_signals();
        Event pan = control_event(Event::PanChannel1, i % 2 ? 0.2f : 0.8f);
        to_audio.write(&pan, 1);

        ASSERT_TRUE(l->save_loop(saved));
        EXPECT_TRUE(one_version(saved)) << "save " << i;

        if (i % 2 == 1) {
            const int fade = 10 + i;
            during_load.store(fade);
            ASSERT_TRUE(l->load_loop(files[(size_t)i % 3]));
            wait_blocks(2);
            if (during_load.exchange(0) == 0) {
                // Set while the processors recorded the file: still there.
                EXPECT_EQ(l->get_control_value(Event::FadeSamples), (float)fade) << "load " << i;
                EXPECT_EQ(l->get_control_value(Event::TriggerThreshold), (float)fade / 1000.0f) << "load " << i;
            }
        }
    }
    stop.store(true);
    audio.join();
    EXPECT_GE(set_during_load.load(), 2) << "no control change landed inside a load";

    for (const std::string& f : files) unlink(f.c_str());
    unlink(saved.c_str());
    rmdir(dir.c_str());
}

} // namespace
