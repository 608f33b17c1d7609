// The effect as a host sees it, opened through its entry point: formats,
// initialisation, rendering a recorded loop, MIDI bindings restored with the
// state, saved state before and after initialisation, the parameter and the
// GUI path property.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "QuillomatAUShared.h"
#include "alloc_counter.h"
#include "osc_client.h"
#include "plugin_rig.h"
#include "thread_count.h"

namespace {

using qmtest::PluginRig;
using qmtest::loops_in;
using qmtest::thread_count;

const char* const kRecordBinding = "0 n 60  note record 0  0 1  \n";

// Bytes the program's heap holds now; freed blocks a sanitizer keeps aside
// do not count.
size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

class PluginTest : public ::testing::Test {
protected:
    PluginRig rig;
};

TEST_F(PluginTest, RefusesUnequalOrEmptyBusZeroAndStartsNothing)
{
    rig.configure();
    const int threads = thread_count();
    ASSERT_EQ(noErr, rig.set_format(kAudioUnitScope_Output, 0, 1));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, AudioUnitInitialize(rig.unit));
    EXPECT_EQ(threads, thread_count());
    EXPECT_EQ(kAudioUnitErr_Uninitialized, MusicDeviceMIDIEvent(rig.unit, 0x90, 60, 100, 0));
    EXPECT_EQ(kAudioUnitErr_Uninitialized, rig.render(64));
    // A matching format afterwards initialises.
    ASSERT_EQ(noErr, rig.set_format(kAudioUnitScope_Output, 0, 2));
    EXPECT_EQ(noErr, AudioUnitInitialize(rig.unit));
    EXPECT_EQ(noErr, rig.render(64));
}

TEST_F(PluginTest, DescribesItselfAndItsParameter)
{
    UInt32 size = 0;
    ASSERT_EQ(noErr, AudioUnitGetPropertyInfo(rig.unit, kAudioUnitProperty_GetUIComponentList, kAudioUnitScope_Global,
                                              0, &size, nullptr));
    ASSERT_EQ(sizeof(ComponentDescription), size);
    ComponentDescription view = {};
    ASSERT_EQ(noErr, AudioUnitGetProperty(rig.unit, kAudioUnitProperty_GetUIComponentList, kAudioUnitScope_Global, 0,
                                          &view, &size));
    EXPECT_EQ(0x61757677u, view.componentType);  // 'auvw'
    EXPECT_EQ(0x6c6f6f70u, view.componentSubType);
    EXPECT_EQ(0x5175696cu, view.componentManufacturer);

    AudioUnitParameterInfo info = {};
    size = sizeof info;
    ASSERT_EQ(noErr, AudioUnitGetProperty(rig.unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global, 0,
                                          &info, &size));
    EXPECT_STREQ("OSC Port", info.name);
    EXPECT_EQ(kAudioUnitParameterFlag_IsReadable, info.flags & (kAudioUnitParameterFlag_IsReadable |
                                                                kAudioUnitParameterFlag_IsWritable));
    EXPECT_EQ(0.0f, info.minValue);
    EXPECT_EQ(3000000.0f, info.maxValue);
    EXPECT_EQ(kAudioUnitErr_InvalidParameter, AudioUnitGetProperty(rig.unit, kAudioUnitProperty_ParameterInfo,
                                                                    kAudioUnitScope_Global, 1, &info, &size));
    EXPECT_EQ(kAudioUnitErr_InvalidProperty,
              AudioUnitGetPropertyInfo(rig.unit, kAudioUnitProperty_ParameterValueStrings, kAudioUnitScope_Global, 0,
                                       &size, nullptr));
    UInt32 buses = 0;
    size = sizeof buses;
    ASSERT_EQ(noErr, AudioUnitGetProperty(rig.unit, kAudioUnitProperty_ElementCount, kAudioUnitScope_Output, 0,
                                          &buses, &size));
    EXPECT_EQ(9u, buses);
    ComponentParameters version = {};
    version.what = kComponentVersionSelect;
    EXPECT_EQ(0x00010000, QuillomatAUEntry(&version, (Handle)GetComponentInstanceStorage(rig.unit)));
}

TEST_F(PluginTest, ParameterZeroIsThePortTheServerBound)
{
    rig.configure();
    EXPECT_EQ(0.0f, rig.param0());
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    const int port = (int)rig.param0();
    if (port == 0) GTEST_SKIP() << "no free OSC port from 10051 on this machine";
    EXPECT_GE(port, 10051);
    EXPECT_LE(port, 10070);
    qmtest::OscClient client(port);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client.send("/ping", client.url(), "/pong"));
    qmtest::OscMsg pong;
    ASSERT_TRUE(client.wait("/pong", pong));
    EXPECT_NE(std::string::npos, pong.s(0).find(":" + std::to_string(port) + "/")) << pong.s(0);
    EXPECT_EQ(1, pong.i(2));  // the default loop

    // A restored state carries the port of another run: the live one stays.
    AudioUnitParameterValue other = 12345;
    ASSERT_EQ(noErr, AudioUnitSetParameter(rig.unit, 0, kAudioUnitScope_Global, 0, other, 0));
    CFMutableDictionaryRef foreign = rig.save();
    ASSERT_EQ(noErr, rig.restore(foreign));
    EXPECT_EQ((float)port, rig.param0());
    CFRelease(foreign);

    AudioUnitUninitialize(rig.unit);
    EXPECT_EQ(0.0f, rig.param0());
}

TEST_F(PluginTest, NoFreePortPublishesZeroAndStillRuns)
{
    rig.configure();
    // Take all twenty ports; another program may hold some for a moment.
    std::vector<int> socks;
    for (int attempt = 0; attempt < 50 && socks.size() < 20; ++attempt) {
        for (int s : socks) ::close(s);
        socks.clear();
        for (int p = 10051; p <= 10070; ++p) {
            int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int off = 0;
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            sockaddr_in6 a = {};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons((uint16_t)p);
            a.sin6_addr = in6addr_any;
            if (bind(fd, (sockaddr*)&a, sizeof a) != 0) {
                ::close(fd);
                break;
            }
            socks.push_back(fd);
        }
        if (socks.size() < 20) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (socks.size() < 20) {
        for (int s : socks) ::close(s);
        GTEST_SKIP() << "ports 10051..10070 are busy here";
    }
    const OSStatus err = AudioUnitInitialize(rig.unit);
    const float port = rig.param0();
    for (int s : socks) ::close(s);
    ASSERT_EQ(noErr, err);
    EXPECT_EQ(0.0f, port);
    EXPECT_EQ(noErr, rig.render(256));
    EXPECT_EQ(1, loops_in(rig.saved("QMSessionXML")));
}

TEST_F(PluginTest, AnEngineThatCannotStartFailsInitialisation)
{
    // Under one frame a second: the engine has no sample rate to run at.
    rig.configure(2, 512, 0.5);
    const int threads = thread_count();
    EXPECT_EQ(kAudioUnitErr_FailedInitialization, AudioUnitInitialize(rig.unit));
    EXPECT_EQ(threads, thread_count());
    EXPECT_EQ(0.0f, rig.param0());
    EXPECT_EQ(kAudioUnitErr_Uninitialized, rig.render(64));
    // A usable rate afterwards starts it.
    rig.configure();
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    EXPECT_EQ(noErr, rig.render(256));
}

// Note 60, bound to record through the restored state, starts and ends a
// take at the frames the host gives; the loop then plays it back.
TEST_F(PluginTest, MidiBoundToRecordTakesALoopThatPlaysBack)
{
    const UInt32 block = 256;
    rig.configure(2, block);
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMMidiBindings", kRecordBinding}}));
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    EXPECT_EQ(kRecordBinding, rig.saved("QMMidiBindings"));

    const uint64_t start = 2 * block + 100, stop = 20 * block + 50;
    for (int b = 0; b < 24; ++b) {
        if (rig.position + block > start && rig.position <= start) {
            ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0x90, 60, 100, (UInt32)(start - rig.position)));
            ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0x80, 60, 0, (UInt32)(start - rig.position) + 10));
        }
        if (rig.position + block > stop && rig.position <= stop) {
            ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0x90, 60, 100, (UInt32)(stop - rig.position)));
            ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0x80, 60, 0, (UInt32)(stop - rig.position) + 10));
        }
        ASSERT_EQ(noErr, rig.render(block));
    }
    // Silence in: what comes out is the loop, once per loop length.
    rig.input.live = false;
    std::vector<float> played;
    for (int b = 0; b < 60; ++b) {
        ASSERT_EQ(noErr, rig.render(block));
        played.insert(played.end(), rig.out[0].begin(), rig.out[0].begin() + block);
    }
    const size_t len = (size_t)(stop - start);
    float peak = 0.0f;
    for (float v : played) peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.1f);
    for (size_t n = 1000; n < 1000 + len; ++n) ASSERT_NEAR(played[n], played[n + len], 1e-5f) << n;
    // One frame off is another signal.
    float diff = 0.0f;
    for (size_t n = 1000; n < 1000 + len; ++n) diff = std::max(diff, std::fabs(played[n] - played[n + len - 1]));
    EXPECT_GT(diff, 1e-3f);
    // The loop holds the input from the frame recording began.
    const size_t at = played.size() - 2 * len;
    const uint64_t frame = rig.position - played.size() + at;
    const uint64_t phase = (frame - stop) % len;
    EXPECT_NEAR(qmtest::PluginInput::value(0, (double)(start + phase)), played[at], 2e-3f);
}

// Following the host's transport, a take quantized to eighths across the
// host's frame 2^32 starts and ends on the host's grid of eighths, to the frame.
TEST_F(PluginTest, ATakeAcrossFrame2To32KeepsToTheHostsGrid)
{
    const UInt32 block = 512;
    const uint64_t eighth = 12000;  // at 120 bpm
    rig.configure(2, block);
    rig.follow_tempo(120.0);
    const std::string session = "<QMSession><Globals tempo=\"120\" sync_source=\"-1\"/><Loopers><Looper index=\"0\" "
                                "channels=\"2\" loop_secs=\"5\"><Controls><Control name=\"sync\" value=\"1\"/>"
                                "<Control name=\"quantize\" value=\"2\"/></Controls></Looper></Loopers></QMSession>";
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMMidiBindings", kRecordBinding}, {"QMSessionXML", session}}));
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));

    // Three eighths, the last two after the wrap.
    const uint64_t start = ((1ull << 32) / eighth - 1) * eighth, end = start + 3 * eighth;
    // A block starts 2 frames before the take, where the rig's beat times the
    // frames of a beat comes a hair short of the frame.
    rig.position = start - 20 * block - 2;
    for (uint64_t note : {start - 5000, start + 5 * eighth / 2}) {
        while (rig.position + block <= note) ASSERT_EQ(noErr, rig.render(block));
        ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0x90, 60, 100, (UInt32)(note - rig.position)));
        ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0x80, 60, 0, (UInt32)(note - rig.position) + 10));
    }
    while (rig.position < end + 2 * block) ASSERT_EQ(noErr, rig.render(block));
    // Silence in: the loop plays the input from its start, once per three eighths.
    rig.input.live = false;
    while (rig.position < end + 7 * eighth) {
        ASSERT_EQ(noErr, rig.render(block));
        for (UInt32 f = 0; f < block; f += 97) {
            const uint64_t phase = (rig.position - block + f - end) % (3 * eighth);
            if (phase < 500 || phase > 3 * eighth - 500) continue;  // the fades at the seam
            ASSERT_NEAR(qmtest::PluginInput::value(0, (double)(start + phase)), rig.out[0][f], 2e-3f)
                << "phase " << phase;
        }
    }
}

TEST_F(PluginTest, RenderAllocatesNothingAndPullsEachLoopBusByItsNumber)
{
    rig.configure(2, 512);
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMMidiBindings", kRecordBinding}}));
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    ASSERT_EQ(noErr, rig.render(512));
    ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0xB0, 7, 64, 3));
    {
        qmtest::AllocationCounter count;
        for (UInt32 n : {512u, 1u, 77u, 256u}) {
            // Host MIDI arrives on the render thread too: a bound note
            // becomes a command on the way in.
            ASSERT_EQ(noErr, MusicDeviceMIDIEvent(rig.unit, 0x90, 60, 100, n - 1));
            ASSERT_EQ(noErr, rig.render(n));
        }
        EXPECT_EQ(0u, count.count());
    }
    // The one loop's bus, and no other loop bus.
    EXPECT_EQ(5, rig.input.pulls[1]);
    EXPECT_EQ(0, rig.input.pulls[2]);
    EXPECT_EQ(5, rig.input.pulls[0]);
}

TEST_F(PluginTest, LoopBusNarrowerThanBusZeroIsServedWithinItsBuffers)
{
    rig.configure(2, 256);
    ASSERT_EQ(noErr, rig.set_format(kAudioUnitScope_Input, 1, 1));
    ASSERT_EQ(noErr, rig.set_format(kAudioUnitScope_Output, 1, 1));
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    float peak = 0.0f;
    for (int b = 0; b < 8; ++b) {
        ASSERT_EQ(noErr, rig.render(256));
        for (float v : rig.out[1]) peak = std::max(peak, std::fabs(v));
    }
    // The input still reaches bus 0's output; bus 1 renders its one channel.
    EXPECT_GT(peak, 0.1f);
    EXPECT_LT(peak, 2.0f);
    rig.chans = 1;
    EXPECT_EQ(noErr, rig.render(256, 1, false));
}

// --- saved state

class PluginStateTest : public PluginTest {
protected:
    // A session of the plug-in's own making, with tempo 97 instead of 110.
    std::string session_at_97()
    {
        PluginRig other;
        other.configure();
        EXPECT_EQ(noErr, AudioUnitInitialize(other.unit));
        std::string s = other.saved("QMSessionXML");
        const size_t at = s.find("tempo=\"110\"");
        EXPECT_NE(std::string::npos, at) << s;
        if (at != std::string::npos) s.replace(at, 11, "tempo=\"97\"");
        return s;
    }
};

TEST_F(PluginStateTest, SessionRestoredBeforeInitialisationIsKeptSavedAndLoaded)
{
    rig.configure();
    // Never initialised and nothing restored: no session to save.
    EXPECT_EQ("<none>", rig.saved("QMSessionXML"));
    const std::string session = session_at_97();
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMSessionXML", session}}));
    EXPECT_EQ(session, rig.saved("QMSessionXML"));

    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    std::string live = rig.saved("QMSessionXML");
    EXPECT_NE(std::string::npos, live.find("tempo=\"97\"")) << live;
    EXPECT_EQ(1, loops_in(live));

    // Between clean-up and the next initialisation the session stays saved;
    // the next start begins with one fresh loop.
    AudioUnitUninitialize(rig.unit);
    EXPECT_EQ(live, rig.saved("QMSessionXML"));
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    EXPECT_EQ(1, loops_in(rig.saved("QMSessionXML")));
}

TEST_F(PluginStateTest, SessionRestoredWhileRunningIsLoadedAtOnce)
{
    rig.configure();
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMSessionXML", session_at_97()}}));
    EXPECT_NE(std::string::npos, rig.saved("QMSessionXML").find("tempo=\"97\""));
    // A session the engine cannot read changes nothing.
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMSessionXML", "<QMSession><Loop"}}));
    const std::string live = rig.saved("QMSessionXML");
    EXPECT_NE(std::string::npos, live.find("tempo=\"97\""));
    EXPECT_EQ(1, loops_in(live));
    EXPECT_EQ(noErr, rig.render(256));
}

TEST_F(PluginStateTest, PendingSessionThatCannotLoadLeavesTheDefaultLoop)
{
    rig.configure();
    for (const char* bad : {"", "not xml at all", "<QMSession><Globals tempo=\"-4\"/><Loopers/></QMSession>"}) {
        SCOPED_TRACE(bad);
        ASSERT_EQ(noErr, rig.restore_blocks({{"QMSessionXML", bad}}));
        ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
        EXPECT_EQ(1, loops_in(rig.saved("QMSessionXML")));
        EXPECT_EQ(noErr, rig.render(128));
        AudioUnitUninitialize(rig.unit);
    }
}

// A user browsing presets with the transport stopped: no render call hands
// back the loops each restore replaces, yet the engine thread frees them.
TEST_F(PluginStateTest, PresetsRestoredWithoutRenderingHoldOneSet)
{
    rig.configure();
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    for (int b = 0; b < 4; ++b) ASSERT_EQ(noErr, rig.render(256));  // played, then stopped
    auto preset = [](int tempo) {
        return "<QMSession><Globals tempo=\"" + std::to_string(tempo) +
               "\"/><Loopers><Looper index=\"0\" channels=\"2\" loop_secs=\"10\"><Controls/></Looper>"
               "</Loopers></QMSession>";
    };
    const size_t set = 2 * (size_t(1) << 19) * sizeof(float);  // two channels of 10 seconds
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMSessionXML", preset(60)}}));
    const size_t before = heap_in_use();
    for (int k = 1; k <= 40; ++k) ASSERT_EQ(noErr, rig.restore_blocks({{"QMSessionXML", preset(60 + k)}}));
    // Freed on the engine thread, however long a busy machine keeps it waiting.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    size_t held = heap_in_use();
    while (held >= before + set / 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        held = heap_in_use();
    }
    EXPECT_LT(held, before + set / 2);
    EXPECT_NE(std::string::npos, rig.saved("QMSessionXML").find("tempo=\"100\""));
}

TEST_F(PluginStateTest, TheDefaultLoopIsHeldToTheMemoryBudget)
{
    rig.configure();
    setenv("QM_MEMORY_BUDGET", "4", 1);
    ::testing::internal::CaptureStderr();
    const OSStatus err = AudioUnitInitialize(rig.unit);
    const std::string said = ::testing::internal::GetCapturedStderr();
    unsetenv("QM_MEMORY_BUDGET");
    ASSERT_EQ(noErr, err);
    EXPECT_NE(std::string::npos, said.find("cannot add a loop of 2 channels and 40 seconds")) << said;
    EXPECT_EQ(0, loops_in(rig.saved("QMSessionXML")));
    EXPECT_EQ(noErr, rig.render(256));
}

TEST_F(PluginStateTest, BindingsAndPathComeBackAndEmptyBlocksClearThem)
{
    rig.configure();
    const std::string path = "/Applications/My Looper.app";
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMMidiBindings", kRecordBinding}, {"QMAppPath", path}}));
    CFMutableDictionaryRef state = rig.save();
    EXPECT_EQ(kRecordBinding, PluginRig::block(state, "QMMidiBindings"));
    EXPECT_EQ(path, PluginRig::block(state, "QMAppPath"));

    // A second unit gets all of it from the first one's state.
    PluginRig second;
    ASSERT_EQ(noErr, second.restore(state));
    EXPECT_EQ(kRecordBinding, second.saved("QMMidiBindings"));
    EXPECT_EQ(path, second.saved("QMAppPath"));

    // Missing keys leave things as they are; empty blocks clear them.
    CFDictionaryRemoveValue(state, CFSTR("QMMidiBindings"));
    CFDictionaryRemoveValue(state, CFSTR("QMAppPath"));
    ASSERT_EQ(noErr, second.restore(state));
    EXPECT_EQ(kRecordBinding, second.saved("QMMidiBindings"));
    EXPECT_EQ(path, second.saved("QMAppPath"));
    ASSERT_EQ(noErr, second.restore_blocks({{"QMMidiBindings", ""}, {"QMAppPath", ""}}));
    EXPECT_EQ("", second.saved("QMMidiBindings"));
    EXPECT_EQ("", second.saved("QMAppPath"));
    CFRelease(state);
}

TEST_F(PluginStateTest, ValuesOfTheWrongTypeAreSkipped)
{
    rig.configure();
    ASSERT_EQ(noErr, rig.restore_blocks({{"QMMidiBindings", kRecordBinding}, {"QMAppPath", "/x.app"}}));
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    const std::string session = rig.saved("QMSessionXML");

    CFMutableDictionaryRef state = rig.save();
    SInt32 seven = 7;
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &seven);
    CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, nullptr, 0, &kCFTypeArrayCallBacks);
    CFDictionarySetValue(state, CFSTR("QMSessionXML"), CFSTR("<QMSession/>"));
    CFDictionarySetValue(state, CFSTR("QMMidiBindings"), number);
    CFDictionarySetValue(state, CFSTR("QMAppPath"), array);
    EXPECT_EQ(noErr, rig.restore(state));
    CFRelease(number);
    CFRelease(array);
    CFRelease(state);

    EXPECT_EQ(session, rig.saved("QMSessionXML"));
    EXPECT_EQ(kRecordBinding, rig.saved("QMMidiBindings"));
    EXPECT_EQ("/x.app", rig.saved("QMAppPath"));
    EXPECT_EQ(noErr, rig.render(256));
}

// --- the GUI path property

TEST_F(PluginTest, AppPathPropertyNeverWritesPastTheCallersBuffer)
{
    UInt32 size = 0;
    Boolean writable = false;
    ASSERT_EQ(noErr, AudioUnitGetPropertyInfo(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, &size,
                                              &writable));
    EXPECT_EQ(1u, size);
    EXPECT_TRUE(writable);

    const std::string path = "/Applications/Quillomat.app";
    ASSERT_EQ(noErr, AudioUnitSetProperty(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0,
                                          path.c_str(), (UInt32)path.size() + 1));
    ASSERT_EQ(noErr, AudioUnitGetPropertyInfo(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, &size,
                                              nullptr));
    EXPECT_EQ(path.size() + 1, size);

    struct Case {
        UInt32 buffer;
        UInt32 written;
    } cases[] = {{1, 1}, {5, 5}, {(UInt32)path.size(), (UInt32)path.size()}, {size, size}, {size + 10, size}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        std::vector<char> buf(c.buffer + 8, '#');
        UInt32 got = c.buffer;
        ASSERT_EQ(noErr, AudioUnitGetProperty(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0,
                                              buf.data(), &got));
        EXPECT_EQ(c.written, got);
        EXPECT_EQ(0, std::memcmp(buf.data(), path.c_str(), c.written));
        for (size_t i = c.buffer; i < buf.size(); ++i) ASSERT_EQ('#', buf[i]) << i;
    }
    UInt32 got = 0;
    ASSERT_EQ(noErr, AudioUnitGetProperty(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, nullptr,
                                          &got));
    EXPECT_EQ(size, got);

    // Set without a terminating NUL: only the bytes given count.
    const char raw[] = {'/', 'a', 'b', 'X', 'Y'};
    ASSERT_EQ(noErr, AudioUnitSetProperty(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, raw, 3));
    EXPECT_EQ("/ab", rig.saved("QMAppPath"));
    ASSERT_EQ(noErr, AudioUnitSetProperty(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, "", 1));
    char one[4] = {'#', '#', '#', '#'};
    got = sizeof one;
    ASSERT_EQ(noErr, AudioUnitGetProperty(rig.unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, one, &got));
    EXPECT_EQ(1u, got);
    EXPECT_EQ('\0', one[0]);
}

// --- calls packed as a 64-bit host packs them

// Hands the entry point one call laid out byte by byte as a 64-bit host lays
// it: flags, paramSize, what, four bytes of padding, then the instance and
// each argument in call order, eight bytes each.
ComponentResult call64(const PluginRig& rig, SInt16 what, UInt8 paramSize, std::initializer_list<long> args)
{
    alignas(8) unsigned char rec[8 + 8 * 9] = {};
    rec[1] = paramSize;
    std::memcpy(rec + 2, &what, sizeof what);
    const long instance = (long)(intptr_t)rig.unit;
    std::memcpy(rec + 8, &instance, 8);
    size_t at = 16;
    for (long v : args) std::memcpy(rec + at, &v, 8), at += 8;
    return QuillomatAUEntry(reinterpret_cast<ComponentParameters*>(rec), GetComponentInstanceStorage(rig.unit));
}

long word(const void* p) { return (long)(intptr_t)p; }

TEST_F(PluginTest, AnswersCallsPackedAsA64BitHostPacksThem)
{
    static_assert(sizeof(long) == 8 && sizeof(void*) == 8, "a 64-bit build");
    const long global = kAudioUnitScope_Global, input = kAudioUnitScope_Input;
    // GetPropertyInfo(id, scope, element, size, writable): three UInt32 and
    // two pointers.
    UInt32 size = 0;
    Boolean writable = false;
    ASSERT_EQ(noErr, call64(rig, kAudioUnitGetPropertyInfoSelect, 28,
                            {kAudioUnitProperty_StreamFormat, input, 0, word(&size), word(&writable)}));
    EXPECT_EQ(40u, size);
    EXPECT_TRUE(writable);
    // CanDo(selector): one SInt16, whatever paramSize says.
    for (UInt8 paramSize : {2, 4, 8}) {
        EXPECT_EQ(1, call64(rig, kComponentCanDoSelect, paramSize, {kAudioUnitRenderSelect})) << int(paramSize);
        EXPECT_EQ(1, call64(rig, kComponentCanDoSelect, paramSize, {kMusicDeviceMIDIEventSelect}));
        EXPECT_EQ(0, call64(rig, kComponentCanDoSelect, paramSize, {0x7777}));
    }

    // The GUI path: SetProperty(id, scope, element, data, size), then
    // GetPropertyInfo and GetProperty(id, scope, element, data, size), the
    // plug-in's own answer, which keeps within the caller's size.
    const std::string path = "/Applications/Quillomat.app";
    const long id = kQuillomatAppPathProperty;
    ASSERT_EQ(noErr, call64(rig, kAudioUnitSetPropertySelect, 24,
                            {id, global, 0, word(path.c_str()), (long)path.size() + 1}));
    ASSERT_EQ(noErr, call64(rig, kAudioUnitGetPropertyInfoSelect, 28, {id, global, 0, word(&size), word(&writable)}));
    EXPECT_EQ(path.size() + 1, size);
    std::vector<char> buf(size + 4, '#');
    UInt32 got = size;
    ASSERT_EQ(noErr, call64(rig, kAudioUnitGetPropertySelect, 28, {id, global, 0, word(buf.data()), word(&got)}));
    EXPECT_EQ(size, got);
    EXPECT_STREQ(path.c_str(), buf.data());
    std::fill(buf.begin(), buf.end(), '#');
    got = size - 2;
    ASSERT_EQ(noErr, call64(rig, kAudioUnitGetPropertySelect, 28, {id, global, 0, word(buf.data()), word(&got)}));
    ASSERT_EQ(size - 2, got);
    EXPECT_EQ(path.substr(0, got), std::string(buf.data(), got));
    EXPECT_EQ('#', buf[got]);
}

} // namespace
