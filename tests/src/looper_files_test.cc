#include "looper.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "file_fixture.h"
#include "looper_fixture.h"

using namespace Quillomat;
using qmtest::LooperRig;

namespace {

float wave(unsigned int chan, long frame) {
    return 0.3f * std::sin(0.021f * (float)frame * (float)(chan + 1)) - 0.05f * (float)chan;
}

struct Audio {
    int channels = 0;
    int samplerate = 0;
    int format = 0;
    std::vector<float> data;  // interleaved
    long frames() const { return channels ? (long)data.size() / channels : 0; }
    float at(long frame, int chan) const { return data[(size_t)frame * (size_t)channels + (size_t)chan]; }
};

bool write_wav(const std::string& path, int channels, long frames, int format = SF_FORMAT_FLOAT, int rate = 48000) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<float> data((size_t)frames * (size_t)channels);
    for (long j = 0; j < frames; ++j) {
        for (int c = 0; c < channels; ++c) data[(size_t)j * (size_t)channels + (size_t)c] = wave((unsigned)c, j);
    }
    const bool ok = sf_writef_float(f, data.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

bool write_level(const std::string& path, int channels, long frames, float level) {
    SF_INFO info = {};
    info.samplerate = 48000;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<float> data((size_t)frames * (size_t)channels, level);
    const bool ok = sf_writef_float(f, data.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

bool read_wav(const std::string& path, Audio& out) {
    SF_INFO info = {};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return false;
    out.channels = info.channels;
    out.samplerate = info.samplerate;
    out.format = info.format;
    out.data.assign((size_t)info.frames * (size_t)info.channels, 0.0f);
    const sf_count_t got = sf_readf_float(f, out.data.data(), info.frames);
    sf_close(f);
    return got == info.frames;
}

class LooperFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm_looper_files_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") unlink((dir + "/" + n).c_str());
            }
            closedir(d);
        }
        rmdir(dir.c_str());
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::set<std::string> entries() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename().string());
        return out;
    }

    float loop_frames(const Looper& l) { return LooperRig::value(l, Event::LoopLength) * 48000.0f; }

    // Loads a generated file of `channels` x `frames`, then runs one block.
    bool load_generated(Looper& l, int channels, long frames) {
        const std::string p = path("src.wav");
        if (!write_wav(p, channels, frames)) return false;
        const bool ok = l.load_loop(p);
        rig.block(l);
        return ok;
    }

    LooperRig rig;
    std::string dir;
};

TEST_F(LooperFilesTest, SavedLoopReadsBackSampleForSample) {
    auto l = rig.make(0, 2, 3.0f, true);
    ASSERT_TRUE((*l)());
    ASSERT_TRUE(load_generated(*l, 2, 100000));
    EXPECT_NEAR(loop_frames(*l), 100000.0f, 0.5f);

    const std::string out = path("float.wav");
    ASSERT_TRUE(l->save_loop(out, LoopFileEvent::FormatFloat));
    Audio a;
    ASSERT_TRUE(read_wav(out, a));
    EXPECT_EQ(a.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.samplerate, 48000);
    ASSERT_EQ(a.frames(), 100000);
    for (long j = 0; j < a.frames(); ++j) {
        for (int c = 0; c < 2; ++c) ASSERT_NEAR(a.at(j, c), wave((unsigned)c, j), 1e-6) << j << " " << c;
    }

    // 24- and 32-bit requests are written as float; 16-bit as PCM.
    const std::string pcm24 = path("pcm24.wav");
    ASSERT_TRUE(l->save_loop(pcm24, LoopFileEvent::FormatPCM24));
    ASSERT_TRUE(read_wav(pcm24, a));
    EXPECT_EQ(a.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);

    const std::string pcm16 = path("pcm16.wav");
    ASSERT_TRUE(l->save_loop(pcm16, LoopFileEvent::FormatPCM16));
    ASSERT_TRUE(read_wav(pcm16, a));
    EXPECT_EQ(a.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(a.frames(), 100000);
    for (long j = 0; j < a.frames(); j += 97) ASSERT_NEAR(a.at(j, 1), wave(1, j), 1.0 / 16384) << j;
}

TEST_F(LooperFilesTest, ChannelCountsNeedNotMatch) {
    // Mono into stereo: both channels take the file's only channel.
    auto stereo = rig.make(0, 2, 2.0f, false);
    ASSERT_TRUE(load_generated(*stereo, 1, 5000));
    Audio a;
    ASSERT_TRUE(stereo->save_loop(path("s.wav")));
    ASSERT_TRUE(read_wav(path("s.wav"), a));
    ASSERT_EQ(a.channels, 2);
    ASSERT_EQ(a.frames(), 5000);
    for (long j = 0; j < 5000; ++j) {
        ASSERT_NEAR(a.at(j, 0), wave(0, j), 1e-6);
        ASSERT_NEAR(a.at(j, 1), wave(0, j), 1e-6);
    }

    // Stereo and wider into mono: the first channel only.
    for (int chans : {2, 3}) {
        auto mono = rig.make(1, 1, 2.0f, false);
        ASSERT_TRUE(load_generated(*mono, chans, 70000));
        ASSERT_TRUE(mono->save_loop(path("m.wav")));
        ASSERT_TRUE(read_wav(path("m.wav"), a));
        ASSERT_EQ(a.channels, 1);
        ASSERT_EQ(a.frames(), 70000);
        for (long j = 0; j < 70000; j += 7) ASSERT_NEAR(a.at(j, 0), wave(0, j), 1e-6) << chans << " " << j;
    }
}

TEST_F(LooperFilesTest, BadFilesLeaveTheLoopAsItWas) {
    auto l = rig.make(0, 1, 1.0f, false);
    ASSERT_TRUE((*l)());
    ASSERT_TRUE(load_generated(*l, 1, 3000));
    ASSERT_TRUE(l->save_loop(path("before.wav")));

    // Too long for the memory (1 s asks for 2^16 frames).
    ASSERT_TRUE(write_wav(path("long.wav"), 1, 70000));
    EXPECT_FALSE(l->load_loop(path("long.wav")));

    // Cut inside the header, and not audio at all.
    std::ifstream whole(path("long.wav"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
    std::ofstream(path("cut.wav"), std::ios::binary) << bytes.substr(0, 30);
    EXPECT_FALSE(l->load_loop(path("cut.wav")));
    std::ofstream(path("text.wav")) << "this is not a sound file\n";
    SF_INFO unknown = {};
    EXPECT_EQ(sf_open(path("text.wav").c_str(), SFM_READ, &unknown), nullptr);
    // A file that cannot be opened says so with its name, and why on the
    // next line, whatever the reason.
    const std::pair<const char*, std::string> refused[] = {
        {"text.wav", sf_strerror(nullptr)}, {"missing.wav", strerror(ENOENT)}, {".", "not a regular file"}};
    for (const auto& r : refused) {
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(l->load_loop(path(r.first))) << r.first;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "error opening " + path(r.first) + "\n" + path(r.first) + ": " + r.second + "\n");
    }

    rig.block(*l);
    EXPECT_NEAR(loop_frames(*l), 3000.0f, 0.5f);
    ASSERT_TRUE(l->save_loop(path("after.wav")));
    Audio before, after;
    ASSERT_TRUE(read_wav(path("before.wav"), before));
    ASSERT_TRUE(read_wav(path("after.wav"), after));
    EXPECT_EQ(before.data, after.data);
}

// A file at another rate is loaded as it is, with a line that says so.
TEST_F(LooperFilesTest, AFileAtAnotherRateIsLoadedAsItIsAndSaidSo) {
    auto l = rig.make(0, 1, 1.0f, false);
    for (int rate : {44100, 48000}) {
        const std::string p = path(std::to_string(rate) + ".wav");
        ASSERT_TRUE(write_wav(p, 1, 3000, SF_FORMAT_FLOAT, rate));
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(l->load_loop(p));
        rig.block(*l);
        EXPECT_NEAR(loop_frames(*l), 3000.0f, 0.5f);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "opened " + p + "\n" +
                      (rate == 48000 ? "" : p + ": recorded at 44100 Hz, loaded as it is at the host's 48000 Hz\n"));
    }
}

// A float file may hold NaN or infinity; in the loop they would silence every
// output it reaches, for good.
TEST_F(LooperFilesTest, NonFiniteSamplesInAFileLoadAsSilence) {
    const long frames = 3000;
    std::vector<float> data((size_t)frames);
    for (long j = 0; j < frames; ++j) data[(size_t)j] = wave(0, j);
    data[10] = std::nanf("");
    data[20] = INFINITY;
    data[30] = -INFINITY;
    SF_INFO info = {};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path("bad.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(sf_writef_float(f, data.data(), frames), frames);
    ASSERT_EQ(sf_close(f), 0);

    auto l = rig.make(0, 1, 1.0f, false);
    ASSERT_TRUE(l->load_loop(path("bad.wav")));
    rig.block(*l);
    ASSERT_TRUE(l->save_loop(path("back.wav")));
    Audio a;
    ASSERT_TRUE(read_wav(path("back.wav"), a));
    ASSERT_EQ(a.frames(), frames);
    for (long j = 0; j < frames; ++j) {
        const float want = (j == 10 || j == 20 || j == 30) ? 0.0f : wave(0, j);
        ASSERT_NEAR(a.at(j, 0), want, 1e-6) << j;
    }
}

TEST_F(LooperFilesTest, LoadKeepsTheUsersControlsAndTakesTheNewLoop) {
    auto l = rig.make(0, 2, 2.0f, true);
    ASSERT_TRUE(load_generated(*l, 2, 4000));
    LooperRig::control(*l, Event::TriggerThreshold, 0.25f);
    LooperRig::control(*l, Event::SyncMode, 1.0f);
    LooperRig::control(*l, Event::FadeSamples, 100.0f);
    ASSERT_TRUE(load_generated(*l, 2, 6000));
    EXPECT_EQ(LooperRig::value(*l, Event::TriggerThreshold), 0.25f);
    EXPECT_EQ(LooperRig::value(*l, Event::SyncMode), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::FadeSamples), 100.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), -1.0f);
    EXPECT_NEAR(loop_frames(*l), 6000.0f, 0.5f);
    EXPECT_EQ(LooperRig::value(*l, Event::State), 4.0f);
}

TEST_F(LooperFilesTest, SaveReportsEveryFailure) {
    auto l = rig.make(0, 1, 1.0f, false);
    ASSERT_TRUE((*l)());
    ASSERT_TRUE(load_generated(*l, 1, 20000));
    EXPECT_FALSE(l->save_loop(path("no/such/dir/x.wav")));
    // A full disk.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_FALSE(l->save_loop("/dev/full"));
    }

    // Room for the header and a little audio only: the write comes up short,
    // and the take that was there stays whole.
    ASSERT_TRUE(l->save_loop(path("short.wav")));
    Audio before, after;
    ASSERT_TRUE(read_wav(path("short.wav"), before));
    bool short_save;
    {
        qmtest::FileSizeLimit limit(16384);
        short_save = l->save_loop(path("short.wav"));
    }
    EXPECT_FALSE(short_save);
    ASSERT_TRUE(read_wav(path("short.wav"), after));
    EXPECT_EQ(after.data, before.data);
}

// A file is never held whole, nor read through a buffer sized by the channel
// count it claims; and a refused allocation fails the call instead of
// throwing out of it.
TEST_F(LooperFilesTest, FilesMoveThroughBoundedBuffers) {
    auto l = rig.make(0, 1, 10.0f, false);
    rig.block(*l);
    ASSERT_TRUE(write_wav(path("long.wav"), 1, 300000));  // 1.2 MB of samples
    ASSERT_TRUE(write_wav(path("wide.wav"), 1024, 1));     // 4 KB, 1024 channels
    {
        qmtest::AllocationLimit limit(1 << 20);
        EXPECT_TRUE(l->load_loop(path("long.wav")));
        rig.block(*l);
        EXPECT_NEAR(loop_frames(*l), 300000.0f, 1.0f);
        EXPECT_TRUE(l->save_loop(path("back.wav")));
        EXPECT_TRUE(l->load_loop(path("wide.wav")));
        rig.block(*l);
        EXPECT_NEAR(loop_frames(*l), 1.0f, 0.1f);
    }
    {
        qmtest::AllocationLimit limit(1024);
        EXPECT_FALSE(l->load_loop(path("long.wav")));
        EXPECT_FALSE(l->save_loop(path("none.wav")));
    }
    Audio a;
    ASSERT_TRUE(read_wav(path("back.wav"), a));
    ASSERT_EQ(a.frames(), 300000);
    EXPECT_NEAR(a.at(299999, 0), wave(0, 299999), 1e-6);
}

// Loud material passes untouched; samples near the float maximum summed on
// one common output never reach it as infinity.
TEST_F(LooperFilesTest, CommonOutputsStayFiniteWithSamplesNearTheFloatMaximum) {
    for (float level : {2.5f, 3e38f}) {
        auto l = rig.make(0, 2, 1.0f, false);
        ASSERT_TRUE(write_level(path("loud.wav"), 2, 4800, level));
        ASSERT_TRUE(l->load_loop(path("loud.wav")));
        // Both streams in the centre: each output carries both channels.
        LooperRig::control(*l, Event::PanChannel1, 0.5f);
        LooperRig::control(*l, Event::PanChannel2, 0.5f);
        for (int b = 0; b < 40; ++b) rig.block(*l);
        for (unsigned int k = 0; k < 2; ++k) {
            for (nframes_t j = 0; j < rig.block_size(); ++j) {
                const float v = rig.common_out(k)[j];
                ASSERT_TRUE(std::isfinite(v)) << level << " out " << k << " frame " << j;
                if (level < 3.0f) {
                    ASSERT_NEAR(v, 2.0f * 0.70795f * level, 1e-3) << "frame " << j;
                }
            }
        }
    }
}

// A session may save every loop, empty ones included, and load them back.
TEST_F(LooperFilesTest, EmptyLoopSavesAndLoadsAsAFileWithoutFrames) {
    auto empty = rig.make(0, 2, 1.0f, false);
    rig.block(*empty);
    ASSERT_TRUE(empty->save_loop(path("empty.wav")));
    Audio a;
    ASSERT_TRUE(read_wav(path("empty.wav"), a));
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.frames(), 0);

    auto full = rig.make(1, 2, 1.0f, false);
    ASSERT_TRUE(load_generated(*full, 2, 3000));
    ASSERT_TRUE(full->load_loop(path("empty.wav")));
    rig.block(*full);
    EXPECT_EQ(LooperRig::value(*full, Event::LoopLength), 0.0f);
    ASSERT_TRUE(full->save_loop(path("again.wav")));
    ASSERT_TRUE(read_wav(path("again.wav"), a));
    EXPECT_EQ(a.frames(), 0);
}

// Undo all stops at a version whose earlier one was written over; a take of
// no frames empties such a loop all the same.
TEST_F(LooperFilesTest, EmptyTakeEmptiesALoopChangedInPlace) {
    auto empty = rig.make(0, 1, 1.0f, false);
    rig.block(*empty);
    ASSERT_TRUE(empty->save_loop(path("empty.wav")));

    auto l = rig.make(1, 1, 1.0f, false);
    ASSERT_TRUE(load_generated(*l, 1, 40000));  // more than half the memory
    for (int press = 0; press < 2; ++press) {
        LooperRig::hit(*l, Event::OVERDUB);
        for (int k = 0; k < 8; ++k) rig.block(*l);
    }
    ASSERT_GT(LooperRig::value(*l, Event::LoopLength), 0.0f);
    ASSERT_TRUE(l->load_loop(path("empty.wav")));
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::LoopLength), 0.0f);
}

// The length port is a float in seconds: past six million frames it reads a
// frame long or short, and the save must still take the loop as it is.
TEST_F(LooperFilesTest, LongLoopsSaveEveryFrame) {
    for (long frames : {6144001L, 6144007L}) {
        auto l = rig.make(0, 1, 140.0f, false);
        ASSERT_TRUE(load_generated(*l, 1, frames));
        ASSERT_TRUE(l->save_loop(path("long.wav"))) << frames;
        Audio a;
        ASSERT_TRUE(read_wav(path("long.wav"), a));
        ASSERT_EQ(a.frames(), frames);
        EXPECT_NEAR(a.at(frames - 1, 0), wave(0, frames - 1), 1e-6);
    }
}

// Two loops of one number (one added after another was removed) saved at
// once keep a file each; a save never writes over a file already there,
// however many names of its second are taken.
TEST_F(LooperFilesTest, EmptyNameSavesInTheCurrentDirectoryWithATimeStamp) {
    auto l = rig.make(3, 1, 1.0f, false);
    auto twin = rig.make(3, 1, 1.0f, false);
    ASSERT_TRUE(load_generated(*l, 1, 1000));
    ASSERT_TRUE(load_generated(*twin, 1, 500));
    unlink(path("src.wav").c_str());
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const bool saved = l->save_loop("") && twin->save_loop("");
    const std::set<std::string> two = entries();
    // Every name up to -99 taken, in this second and the next two.
    for (time_t t = time(nullptr), end = t + 3; t < end; ++t) {
        char stamp[64];
        struct tm local;
        strftime(stamp, sizeof(stamp), "%Y%m%d-%H:%M:%S", localtime_r(&t, &local));
        for (int n = 1; n < 100; ++n) {
            const std::string count = n > 1 ? "-" + std::to_string(n) : "";
            const std::string name = std::string("qm_") + stamp + "_loop03" + count + ".wav";
            if (!two.count(name)) std::ofstream(name) << "taken";
        }
    }
    const bool saved_past = l->save_loop("");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(saved && saved_past);

    // The first two, and one counted past -99; nothing written over.
    std::set<std::string> takes;
    for (const std::string& name : entries()) {
        if (qmtest::bytes_of(path(name)) != "taken") takes.insert(name);
    }
    EXPECT_EQ(two.size(), 2u);
    EXPECT_EQ(takes.size(), 3u);
    const std::regex first(R"(qm_\d{8}-\d{2}:\d{2}:\d{2}_loop03(-2)?\.wav)"), past(R"(qm_.*_loop03-100\.wav)");
    for (const std::string& name : takes) EXPECT_TRUE(std::regex_match(name, two.count(name) ? first : past)) << name;
}

} // namespace
