// The Audio Unit stand-ins driven as a host drives a plug-in: through the C
// calls on an instance opened from the test effect's entry point.
#include <AUPublic/CAStreamBasicDescription.h>
#include <AudioUnit/AudioUnit.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/StandIn.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "alloc_counter.h"
#include "gain_effect.h"

extern "C" ComponentResult TestGainEffectEntry(ComponentParameters* params, Handle storage);

namespace {

const double kRate = 48000.0;
const OSType kType = kAudioUnitType_MusicEffect, kSub = 0x6761696e, kManu = 0x54657374;

AudioStreamBasicDescription canonical(UInt32 channels, double rate = kRate)
{
    return CAStreamBasicDescription(rate, channels);
}

// A host-side buffer list of `channels` buffers of `frames` floats each.
struct HostBuffers {
    HostBuffers(UInt32 channels, UInt32 frames, float fill = -7.0f)
        : storage(channels, std::vector<float>(frames, fill)),
          raw(offsetof(AudioBufferList, mBuffers) + channels * sizeof(AudioBuffer))
    {
        list()->mNumberBuffers = channels;
        for (UInt32 c = 0; c < channels; ++c)
            list()->mBuffers[c] = AudioBuffer{1, frames * 4, storage[c].data()};
    }
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(raw.data()); }
    // A unit sets each size to what it rendered; hosts give the full size back before each call.
    void resetSizes()
    {
        for (UInt32 c = 0; c < storage.size(); ++c)
            list()->mBuffers[c].mDataByteSize = (UInt32)storage[c].size() * 4;
    }
    float at(UInt32 c, UInt32 f) { return static_cast<float*>(list()->mBuffers[c].mData)[f]; }

    std::vector<std::vector<float>> storage;
    std::vector<unsigned char> raw;
};

// Input source: channel c, absolute frame n gives (c + 1) * 0.001 * (n % 1000).
struct Source {
    static float value(UInt32 c, double frame) { return (float)(c + 1) * 0.001f * (float)std::fmod(frame, 1000.0); }

    static OSStatus render(void* ref, AudioUnitRenderActionFlags*, const AudioTimeStamp* ts, UInt32,
                           UInt32 frames, AudioBufferList* io)
    {
        Source* s = static_cast<Source*>(ref);
        ++s->calls;
        if (s->fail) return s->fail;
        if (s->break_list) {
            io->mBuffers[0].mData = nullptr;
            return noErr;
        }
        for (UInt32 c = 0; c < io->mNumberBuffers; ++c)
            for (UInt32 f = 0; f < frames; ++f)
                static_cast<float*>(io->mBuffers[c].mData)[f] = value(c, ts->mSampleTime + f);
        return noErr;
    }

    int calls = 0;
    OSStatus fail = noErr;
    bool break_list = false;
};

class AudioUnitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ComponentDescription desc = {kType, kSub, kManu, 0, 0};
        component = RegisterComponent(&desc, TestGainEffectEntry, 0, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, component);
        unit = open();
    }
    void TearDown() override
    {
        for (AudioUnit u : opened) EXPECT_EQ(noErr, CloseComponent(u));
        EXPECT_EQ(noErr, UnregisterComponent(component));
    }

    AudioUnit open()
    {
        AudioUnit u = nullptr;
        EXPECT_EQ(noErr, OpenAComponent(component, &u));
        opened.push_back(u);
        return u;
    }

    OSStatus setFormat(AudioUnit u, AudioUnitScope scope, UInt32 el, const AudioStreamBasicDescription& d)
    {
        return AudioUnitSetProperty(u, kAudioUnitProperty_StreamFormat, scope, el, &d, sizeof d);
    }
    OSStatus setMaxFrames(AudioUnit u, UInt32 frames)
    {
        return AudioUnitSetProperty(u, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &frames,
                                    sizeof frames);
    }
    OSStatus connect(AudioUnit u, UInt32 bus, Source* src)
    {
        AURenderCallbackStruct cb = {&Source::render, src};
        return AudioUnitSetProperty(u, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, bus, &cb,
                                    sizeof cb);
    }
    // Stereo everywhere, max frames 64, input 0 from `source`, initialised.
    void ready(AudioUnit u, Source* src)
    {
        for (AudioUnitScope s : {kAudioUnitScope_Input, kAudioUnitScope_Output})
            for (UInt32 b = 0; b < 2; ++b) ASSERT_EQ(noErr, setFormat(u, s, b, canonical(2)));
        ASSERT_EQ(noErr, setMaxFrames(u, 64));
        ASSERT_EQ(noErr, connect(u, 0, src));
        ASSERT_EQ(noErr, AudioUnitInitialize(u));
    }
    OSStatus render(AudioUnit u, HostBuffers& out, UInt32 frames, double at, UInt32 bus = 0,
                    AudioUnitRenderActionFlags* flags = nullptr)
    {
        AudioTimeStamp ts = {};
        ts.mSampleTime = at;
        ts.mFlags = kAudioTimeStampSampleTimeValid;
        out.resetSizes();
        return AudioUnitRender(u, flags, &ts, bus, frames, out.list());
    }
    float param(AudioUnit u, AudioUnitParameterID id)
    {
        Float32 v = -1;
        EXPECT_EQ(noErr, AudioUnitGetParameter(u, id, kAudioUnitScope_Global, 0, &v));
        return v;
    }

    Component component = nullptr;
    AudioUnit unit = nullptr;
    std::vector<AudioUnit> opened;
};

TEST_F(AudioUnitTest, ComponentCallsRefuseBadInstancesAndSelectors)
{
    EXPECT_EQ(validInstancesExist, UnregisterComponent(component));
    EXPECT_EQ(badComponentInstance, AudioUnitInitialize(nullptr));
    AudioUnit none = nullptr;
    EXPECT_EQ(invalidComponentID, OpenAComponent(nullptr, &none));
    EXPECT_EQ(paramErr, OpenAComponent(component, nullptr));
    EXPECT_NE(noErr, CloseComponent(nullptr));

    using CoreServicesStandIn::call;
    EXPECT_EQ(badComponentSelector, call(unit, 0x7777));
    EXPECT_EQ(1, call(unit, kComponentCanDoSelect, (SInt16)kMusicDeviceMIDIEventSelect));
    EXPECT_EQ(1, call(unit, kComponentCanDoSelect, (SInt16)kAudioUnitResetSelect));
    EXPECT_EQ(0, call(unit, kComponentCanDoSelect, (SInt16)0x7777));
    EXPECT_EQ(0x00010000, call(unit, kComponentVersionSelect));
    // Reset takes the scope, then the element; only the scope is checked.
    EXPECT_EQ(noErr, AudioUnitReset(unit, kAudioUnitScope_Global, 77));
    EXPECT_EQ(kAudioUnitErr_InvalidScope, AudioUnitReset(unit, 77, kAudioUnitScope_Global));
}

// What the last call put in its record, as an entry point sees it.
struct SeenCall {
    SInt16 what = 0;
    int paramSize = -1;
    std::vector<long> stored;  // params[0] first, as far as a call record reaches
};
SeenCall g_seen;

// The slots of a call record the stand-in packs.
const size_t kSlots =
    (sizeof(CoreServicesStandIn::CallRecord) - offsetof(ComponentParameters, params)) / sizeof(long);

ComponentResult recordingEntry(ComponentParameters* p, Handle)
{
    if (p->what == kComponentOpenSelect || p->what == kComponentCloseSelect) return noErr;
    g_seen.what = p->what;
    g_seen.paramSize = p->paramSize;
    g_seen.stored.assign(p->params, p->params + kSlots);
    return noErr;
}

long word(const void* p) { return (long)(intptr_t)p; }

TEST(HostCalls, PackTheInstanceThenTheArgumentsInOrderAsA64BitHostDoes)
{
    ComponentDescription desc = {kType, kSub, kManu, 0, 0};
    Component c = RegisterComponent(&desc, recordingEntry, 0, nullptr, nullptr, nullptr);
    AudioUnit u = nullptr;
    ASSERT_EQ(noErr, OpenAComponent(c, &u));
    UInt32 size = 0;
    char data[4];
    AudioTimeStamp ts = {};
    AudioUnitRenderActionFlags flags = 0;
    AudioBufferList list = {};
    Float32 value = 0;
    const int p = sizeof(void*);
    const struct {
        const char* name;
        std::function<ComponentResult()> send;
        SInt16 what;
        int paramSize;  // the declared sizes of the arguments
        std::vector<long> args;
    } cases[] = {
        {"Initialize", [&] { return AudioUnitInitialize(u); }, kAudioUnitInitializeSelect, 0, {}},
        {"GetProperty", [&] { return AudioUnitGetProperty(u, 80000, 2, 3, data, &size); },
         kAudioUnitGetPropertySelect, 12 + 2 * p, {80000, 2, 3, word(data), word(&size)}},
        {"SetProperty", [&] { return AudioUnitSetProperty(u, 14, 1, 5, data, 4); }, kAudioUnitSetPropertySelect,
         16 + p, {14, 1, 5, word(data), 4}},
        {"GetParameter", [&] { return AudioUnitGetParameter(u, 9, 0, 2, &value); }, kAudioUnitGetParameterSelect,
         12 + p, {9, 0, 2, word(&value)}},
        {"SetParameter", [&] { return AudioUnitSetParameter(u, 9, 0, 2, 0.5f, 64); }, kAudioUnitSetParameterSelect,
         20, {9, 0, 2, 0x3f000000, 64}},
        {"Reset", [&] { return AudioUnitReset(u, 2, 5); }, kAudioUnitResetSelect, 8, {2, 5}},
        {"Render", [&] { return AudioUnitRender(u, &flags, &ts, 3, 256, &list); }, kAudioUnitRenderSelect,
         8 + 3 * p, {word(&flags), word(&ts), 3, 256, word(&list)}},
        {"MIDIEvent", [&] { return MusicDeviceMIDIEvent(u, 0x90, 60, 100, 12); }, kMusicDeviceMIDIEventSelect, 16,
         {0x90, 60, 100, 12}},
        {"CanDo", [&] { return CoreServicesStandIn::call(u, kComponentCanDoSelect, (SInt16)kAudioUnitRenderSelect); },
         kComponentCanDoSelect, 2, {kAudioUnitRenderSelect}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        g_seen = SeenCall();
        ASSERT_EQ(noErr, k.send());
        EXPECT_EQ(k.what, g_seen.what);
        EXPECT_EQ(k.paramSize, g_seen.paramSize);
        std::vector<long> stored(kSlots, 0);
        stored[0] = word(u);
        std::copy(k.args.begin(), k.args.end(), stored.begin() + 1);
        EXPECT_EQ(stored, g_seen.stored);
    }
    EXPECT_EQ(noErr, CloseComponent(u));
    EXPECT_EQ(noErr, UnregisterComponent(c));
}

TEST_F(AudioUnitTest, StreamFormatsAreCheckedBeforeTheyChange)
{
    struct Case {
        const char* what;
        void (*change)(AudioStreamBasicDescription&);
    } refused[] = {
        {"interleaved", [](AudioStreamBasicDescription& d) { d.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved; }},
        {"integer", [](AudioStreamBasicDescription& d) { d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved; }},
        {"big-endian", [](AudioStreamBasicDescription& d) { d.mFormatFlags |= kAudioFormatFlagIsBigEndian; }},
        {"16 bits", [](AudioStreamBasicDescription& d) { d.mBitsPerChannel = 16; d.mBytesPerFrame = d.mBytesPerPacket = 2; }},
        {"no channels", [](AudioStreamBasicDescription& d) { d.mChannelsPerFrame = 0; }},
        {"65 channels", [](AudioStreamBasicDescription& d) { d.mChannelsPerFrame = 65; }},
        {"rate 0", [](AudioStreamBasicDescription& d) { d.mSampleRate = 0; }},
        {"rate NaN", [](AudioStreamBasicDescription& d) { d.mSampleRate = NAN; }},
        {"not PCM", [](AudioStreamBasicDescription& d) { d.mFormatID = 0x61616320; }},
    };
    const AudioStreamBasicDescription before = canonical(2, 44100);
    ASSERT_EQ(noErr, setFormat(unit, kAudioUnitScope_Input, 0, before));
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        AudioStreamBasicDescription d = canonical(1);
        c.change(d);
        EXPECT_EQ(kAudioUnitErr_FormatNotSupported, setFormat(unit, kAudioUnitScope_Input, 0, d));
    }
    AudioStreamBasicDescription got;
    UInt32 size = sizeof got;
    ASSERT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &got, &size));
    EXPECT_EQ(0, std::memcmp(&before, &got, sizeof got));

    const AudioStreamBasicDescription d = canonical(1);
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &d, sizeof d - 1));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, nullptr, sizeof d));
    EXPECT_EQ(kAudioUnitErr_InvalidScope, setFormat(unit, 9, 0, d));
    EXPECT_EQ(kAudioUnitErr_InvalidScope, setFormat(unit, kAudioUnitScope_Global, 0, d));
    EXPECT_EQ(kAudioUnitErr_InvalidElement, setFormat(unit, kAudioUnitScope_Output, 2, d));

    // A rate for every bus at once, refused as a whole when it is bad.
    Float64 rate = 96000, bad = -1, got_rate = 0;
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported,
              AudioUnitSetProperty(unit, kAudioUnitProperty_SampleRate, kAudioUnitScope_Global, 0, &bad, sizeof bad));
    EXPECT_EQ(noErr, AudioUnitSetProperty(unit, kAudioUnitProperty_SampleRate, kAudioUnitScope_Global, 0, &rate, sizeof rate));
    size = sizeof got_rate;
    EXPECT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_SampleRate, kAudioUnitScope_Input, 1, &got_rate, &size));
    EXPECT_EQ(96000.0, got_rate);
}

TEST_F(AudioUnitTest, InitialiseChecksBusZeroAndFreezesFormats)
{
    Source src;
    ASSERT_EQ(noErr, setFormat(unit, kAudioUnitScope_Input, 0, canonical(2)));
    ASSERT_EQ(noErr, setFormat(unit, kAudioUnitScope_Output, 0, canonical(1)));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, AudioUnitInitialize(unit));
    EXPECT_EQ(kAudioUnitErr_Uninitialized, MusicDeviceMIDIEvent(unit, 0xB0, 7, 0, 0));
    HostBuffers out(1, 16);
    EXPECT_EQ(kAudioUnitErr_Uninitialized, render(unit, out, 16, 0));
    EXPECT_EQ(0.0f, param(unit, kGainParam_Port));

    ready(unit, &src);
    EXPECT_EQ(4242.0f, param(unit, kGainParam_Port));
    EXPECT_EQ(noErr, AudioUnitInitialize(unit));  // again: nothing happens
    EXPECT_EQ(noErr, setFormat(unit, kAudioUnitScope_Output, 0, canonical(2)));  // unchanged
    EXPECT_EQ(kAudioUnitErr_PropertyNotWritable, setFormat(unit, kAudioUnitScope_Output, 0, canonical(1)));
    EXPECT_EQ(kAudioUnitErr_Initialized, setMaxFrames(unit, 128));
    EXPECT_EQ(noErr, setMaxFrames(unit, 64));

    EXPECT_EQ(noErr, AudioUnitUninitialize(unit));
    EXPECT_EQ(0.0f, param(unit, kGainParam_Port));
    EXPECT_EQ(noErr, setMaxFrames(unit, 128));
    EXPECT_EQ(noErr, AudioUnitInitialize(unit));
    HostBuffers big(2, 128);
    EXPECT_EQ(noErr, render(unit, big, 128, 0));
}

TEST_F(AudioUnitTest, RendersEveryBlockSizeUpToTheLimitWithoutAllocating)
{
    Source src;
    ready(unit, &src);
    double at = 0;
    HostBuffers out(2, 64);
    size_t allocations;
    {
        qmtest::AllocationCounter counter;
        for (UInt32 n = 1; n <= 64; ++n) {
            ASSERT_EQ(noErr, render(unit, out, n, at));
            for (UInt32 c = 0; c < 2; ++c)
                for (UInt32 f = 0; f < n; ++f) ASSERT_EQ(Source::value(c, at + f), out.at(c, f)) << n;
            at += n;
        }
        allocations = counter.count();
    }
    EXPECT_EQ(0u, allocations);

    // One frame past the limit fails and leaves the host's buffers alone.
    HostBuffers big(2, 65, 3.0f);
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, render(unit, big, 65, at));
    EXPECT_EQ(3.0f, big.at(1, 64));

    // Null buffers are lent the unit's own memory.
    HostBuffers lent(2, 8);
    lent.list()->mBuffers[0].mData = lent.list()->mBuffers[1].mData = nullptr;
    ASSERT_EQ(noErr, render(unit, lent, 8, at));
    EXPECT_EQ(Source::value(1, at + 7), lent.at(1, 7));
}

TEST_F(AudioUnitTest, RenderRefusesBadHostInput)
{
    Source src;
    HostBuffers out(2, 32);
    AudioTimeStamp ts = {};
    ready(unit, &src);
    EXPECT_EQ(paramErr, AudioUnitRender(unit, nullptr, nullptr, 0, 32, out.list()));
    EXPECT_EQ(paramErr, AudioUnitRender(unit, nullptr, &ts, 0, 32, nullptr));
    EXPECT_EQ(kAudioUnitErr_InvalidElement, render(unit, out, 32, 0, 2));
    HostBuffers mono(1, 32);
    EXPECT_EQ(paramErr, render(unit, mono, 32, 0));
    HostBuffers shortBuffer(2, 32);
    shortBuffer.storage[1].resize(31);
    EXPECT_EQ(paramErr, render(unit, shortBuffer, 32, 0));

    src.fail = -1234;
    EXPECT_EQ(-1234, render(unit, out, 32, 0));
    src.fail = noErr;
    src.break_list = true;
    EXPECT_EQ(paramErr, render(unit, out, 32, 0));
    src.break_list = false;
    EXPECT_EQ(noErr, render(unit, out, 32, 0));  // a failed call renders again

    AURenderCallbackStruct none = {nullptr, nullptr};
    ASSERT_EQ(noErr, AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, &none, sizeof none));
    EXPECT_EQ(kAudioUnitErr_NoConnection, render(unit, out, 32, 32));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, &none, 4));
    EXPECT_EQ(kAudioUnitErr_InvalidElement,
              AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 2, &none, sizeof none));
}

TEST_F(AudioUnitTest, OtherBusesComeFromTheSameRenderCall)
{
    Source src, src1;
    ready(unit, &src);
    HostBuffers out0(2, 16), out1(2, 16);
    AudioUnitRenderActionFlags flags = 0;

    // No source on bus 1: it reaches the host as flagged silence.
    ASSERT_EQ(noErr, render(unit, out0, 16, 0));
    ASSERT_EQ(noErr, render(unit, out1, 16, 0, 1, &flags));
    EXPECT_EQ(1, src.calls);  // same time stamp: not rendered again
    EXPECT_TRUE(flags & kAudioUnitRenderAction_OutputIsSilence);
    EXPECT_EQ(0.0f, out1.at(0, 0));

    // Bus 1 fed from a second unit's output 0 through a connection.
    AudioUnit upstream = open();
    ready(upstream, &src1);
    AudioUnitConnection conn = {upstream, 0, 1};
    ASSERT_EQ(noErr, AudioUnitSetProperty(unit, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input, 1, &conn, sizeof conn));
    flags = 0;
    ASSERT_EQ(noErr, render(unit, out1, 16, 16, 1, &flags));
    EXPECT_FALSE(flags & kAudioUnitRenderAction_OutputIsSilence);
    EXPECT_EQ(Source::value(1, 16 + 5), out1.at(1, 5));
    ASSERT_EQ(noErr, render(unit, out0, 16, 16));
    EXPECT_EQ(2, src.calls);
    EXPECT_EQ(Source::value(0, 16 + 5), out0.at(0, 5));

    AudioUnitConnection self = {unit, 0, 1}, wrong = {upstream, 0, 0};
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(unit, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input, 1, &self, sizeof self));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(unit, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input, 1, &wrong, sizeof wrong));
}

TEST_F(AudioUnitTest, ParametersAndPropertiesRefuseBadArguments)
{
    Float32 v;
    EXPECT_EQ(paramErr, AudioUnitGetParameter(unit, 1, kAudioUnitScope_Global, 0, nullptr));
    EXPECT_EQ(kAudioUnitErr_InvalidScope, AudioUnitGetParameter(unit, 1, 5, 0, &v));
    EXPECT_EQ(kAudioUnitErr_InvalidElement, AudioUnitGetParameter(unit, 1, kAudioUnitScope_Global, 1, &v));
    EXPECT_EQ(kAudioUnitErr_InvalidParameter, AudioUnitGetParameter(unit, 4, kAudioUnitScope_Global, 0, &v));
    EXPECT_EQ(kAudioUnitErr_InvalidParameter, AudioUnitSetParameter(unit, 0, kAudioUnitScope_Input, 0, 1.0f, 0));
    EXPECT_EQ(noErr, AudioUnitSetParameter(unit, kGainParam_Gain, kAudioUnitScope_Global, 0, 0.25f, 0));
    EXPECT_EQ(0.25f, param(unit, kGainParam_Gain));

    AudioUnitParameterInfo info;
    UInt32 size = sizeof info;
    ASSERT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global, 1, &info, &size));
    EXPECT_STREQ("Gain", info.name);
    EXPECT_TRUE(info.flags & kAudioUnitParameterFlag_IsWritable);
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global, 9, &info, &size));

    // A list may be read in part; a record may not.
    AudioUnitParameterID ids[4] = {9, 9, 9, 9};
    size = 2 * sizeof(AudioUnitParameterID);
    ASSERT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterList, kAudioUnitScope_Global, 0, ids, &size));
    EXPECT_EQ(1u, ids[1]);
    EXPECT_EQ(9u, ids[2]);
    size = 0;
    ASSERT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterList, kAudioUnitScope_Global, 0, nullptr, &size));
    EXPECT_EQ(16u, size);
    AudioStreamBasicDescription fmt;
    size = sizeof fmt - 4;
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &fmt, &size));
    EXPECT_EQ(paramErr, AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &fmt, nullptr));

    UInt32 count = 0;
    size = sizeof count;
    ASSERT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_ElementCount, kAudioUnitScope_Input, 0, &count, &size));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(kAudioUnitErr_PropertyNotWritable,
              AudioUnitSetProperty(unit, kAudioUnitProperty_ElementCount, kAudioUnitScope_Input, 0, &count, sizeof count));
    EXPECT_EQ(kAudioUnitErr_InvalidProperty, AudioUnitGetPropertyInfo(unit, 4711, kAudioUnitScope_Global, 0, nullptr, nullptr));
    EXPECT_EQ(kAudioUnitErr_InvalidProperty, AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_TailTime, kAudioUnitScope_Global, 0, &size, nullptr));

    struct { UInt32 value; UInt32 size; OSStatus want; } frames[] = {
        {0, 4, kAudioUnitErr_InvalidPropertyValue},
        {AUBase::kMaxFramesPerSliceLimit + 1, 4, kAudioUnitErr_InvalidPropertyValue},
        {512, 2, kAudioUnitErr_InvalidPropertyValue},
        {512, 8, kAudioUnitErr_InvalidPropertyValue},
        {512, 4, noErr},
    };
    for (auto& f : frames)
        EXPECT_EQ(f.want, AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global,
                                               0, &f.value, f.size)) << f.value << "/" << f.size;

    // A property that lives on one scope is refused on any other, asked about or set.
    for (AudioUnitPropertyID id : {kAudioUnitProperty_ClassInfo, kAudioUnitProperty_Latency,
                                   kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitProperty_GetUIComponentList,
                                   kAudioUnitProperty_HostCallbacks})
        EXPECT_EQ(kAudioUnitErr_InvalidScope, AudioUnitGetPropertyInfo(unit, id, kAudioUnitScope_Input, 0, &size, nullptr))
            << id;
    EXPECT_EQ(kAudioUnitErr_InvalidScope, AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_MakeConnection,
                                                                   kAudioUnitScope_Global, 0, &size, nullptr));
    UInt32 frameCount = 512;
    EXPECT_EQ(kAudioUnitErr_InvalidScope, AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                                               kAudioUnitScope_Output, 0, &frameCount, sizeof frameCount));

    ComponentDescription ui[2];
    size = sizeof ui;
    ASSERT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_GetUIComponentList, kAudioUnitScope_Global, 0, ui, &size));
    EXPECT_EQ(sizeof(ComponentDescription), size);
    EXPECT_EQ(0x61757677u, ui[0].componentType);

    // The plug-in's own string property: the size bounds what is read, a
    // short buffer gets the start.
    const char label[] = {'l', 'o', 'o', 'p', 'X'};
    EXPECT_EQ(noErr, AudioUnitSetProperty(unit, kGainLabelProperty, kAudioUnitScope_Global, 0, label, 4));
    Boolean writable = false;
    EXPECT_EQ(noErr, AudioUnitGetPropertyInfo(unit, kGainLabelProperty, kAudioUnitScope_Global, 0, &size, &writable));
    EXPECT_EQ(5u, size);
    EXPECT_TRUE(writable);
    char got[8] = "zzzzzzz";
    size = 2;
    EXPECT_EQ(noErr, AudioUnitGetProperty(unit, kGainLabelProperty, kAudioUnitScope_Global, 0, got, &size));
    EXPECT_STREQ("lozzzzz", got);
}

TEST_F(AudioUnitTest, HostCallbacksReachThePlugin)
{
    struct Host {
        static OSStatus beat(void* user, Float64* beat, Float64* tempo)
        {
            *beat = 8.5;
            *tempo = *static_cast<double*>(user);
            return noErr;
        }
    };
    Source src;
    ready(unit, &src);
    HostBuffers out(2, 16);
    ASSERT_EQ(noErr, render(unit, out, 16, 0));
    EXPECT_EQ(0.0f, param(unit, kGainParam_Tempo));

    double tempo = 132.0;
    HostCallbackInfo info = {};
    info.hostUserData = &tempo;
    info.beatAndTempoProc = &Host::beat;
    // An older host's shorter record.
    UInt32 shorter = offsetof(HostCallbackInfo, musicalTimeLocationProc);
    ASSERT_EQ(noErr, AudioUnitSetProperty(unit, kAudioUnitProperty_HostCallbacks, kAudioUnitScope_Global, 0, &info, shorter));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(unit, kAudioUnitProperty_HostCallbacks, kAudioUnitScope_Global, 0, &info, sizeof info + 8));
    ASSERT_EQ(noErr, render(unit, out, 16, 16));
    EXPECT_EQ(132.0f, param(unit, kGainParam_Tempo));
    EXPECT_EQ(8.5f, param(unit, kGainParam_Beat));
}

TEST_F(AudioUnitTest, MidiReachesThePluginAtItsFrame)
{
    Source src;
    ready(unit, &src);
    EXPECT_EQ(paramErr, MusicDeviceMIDIEvent(unit, 0x10, 7, 0, 0));
    EXPECT_EQ(paramErr, MusicDeviceMIDIEvent(unit, 0xB0, 7, 0x80, 0));
    EXPECT_EQ(paramErr, MusicDeviceMIDIEvent(unit, 0x1B0, 7, 0, 0));
    ASSERT_EQ(noErr, MusicDeviceMIDIEvent(unit, 0xB3, 7, 0, 10));
    HostBuffers out(2, 32);
    ASSERT_EQ(noErr, render(unit, out, 32, 100));
    EXPECT_EQ(Source::value(0, 109), out.at(0, 9));
    EXPECT_EQ(0.0f, out.at(0, 10));
    EXPECT_EQ(0.0f, param(unit, kGainParam_Gain));
}

CFTypeRef value(CFDictionaryRef d, const char* key) { return CFDictionaryGetValue(d, __CFStringMakeConstantString(key)); }

TEST_F(AudioUnitTest, SavedStateRoundTripsAndBadStateIsRefused)
{
    Source src;
    ready(unit, &src);
    ASSERT_EQ(noErr, AudioUnitSetParameter(unit, kGainParam_Gain, kAudioUnitScope_Global, 0, 0.5f, 0));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(noErr, MusicDeviceMIDIEvent(unit, 0x90, 60, 100, 0));

    CFPropertyListRef state = nullptr;
    UInt32 size = sizeof state;
    ASSERT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state, &size));
    ASSERT_EQ(CFDictionaryGetTypeID(), CFGetTypeID(state));
    CFDictionaryRef dict = static_cast<CFDictionaryRef>(state);
    SInt32 n = -1;
    CFNumberGetValue(static_cast<CFNumberRef>(value(dict, "subtype")), kCFNumberSInt32Type, &n);
    EXPECT_EQ((SInt32)kSub, n);
    CFNumberGetValue(static_cast<CFNumberRef>(value(dict, "TestMidiCount")), kCFNumberSInt32Type, &n);
    EXPECT_EQ(3, n);
    EXPECT_EQ(4 + 4 * 8, CFDataGetLength(static_cast<CFDataRef>(value(dict, "data"))));
    UInt32 small = 4;
    CFPropertyListRef none = nullptr;
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &none, &small));

    AudioUnit other = open();
    ASSERT_EQ(noErr, AudioUnitSetProperty(other, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state, sizeof state));
    EXPECT_EQ(0.5f, param(other, kGainParam_Gain));

    // Each broken copy is refused and changes nothing.
    struct Broken {
        const char* key;
        CFTypeRef replacement;
    };
    SInt32 one = 1, wrong = 0x4e6f7065;
    UInt8 bytes[12] = {0, 0, 0, 1, 0, 0, 0, 1, 0x3f, 0x80, 0, 0};
    CFNumberRef v1 = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &one);
    CFNumberRef vw = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &wrong);
    CFDataRef cut = CFDataCreate(kCFAllocatorDefault, bytes, 11);
    Broken broken[] = {{"version", v1}, {"manufacturer", vw}, {"data", cut}, {"data", CFSTR("text")}, {"type", nullptr}};
    for (const Broken& b : broken) {
        SCOPED_TRACE(b.key);
        CFMutableDictionaryRef copy = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks);
        CFIndex count = CFDictionaryGetCount(dict);
        std::vector<const void*> keys(count), vals(count);
        CFDictionaryGetKeysAndValues(dict, keys.data(), vals.data());
        for (CFIndex i = 0; i < count; ++i) CFDictionarySetValue(copy, keys[i], vals[i]);
        if (b.replacement) CFDictionarySetValue(copy, __CFStringMakeConstantString(b.key), b.replacement);
        else CFDictionaryRemoveValue(copy, __CFStringMakeConstantString(b.key));
        CFPropertyListRef p = copy;
        EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
                  AudioUnitSetProperty(other, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &p, sizeof p));
        CFRelease(copy);
    }
    CFPropertyListRef text = CFSTR("not a dictionary"), null_plist = nullptr;
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(other, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &text, sizeof text));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(other, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &null_plist, sizeof null_plist));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(other, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state, 4));
    EXPECT_EQ(0.5f, param(other, kGainParam_Gain));

    // Unknown parameters and values that are not numbers are skipped.
    UInt8 odd[] = {0, 0, 0, 2, 0, 0, 0, 9, 0x3f, 0x80, 0, 0, 0, 0, 0, 1, 0x7f, 0xc0, 0, 0};
    CFDataRef oddData = CFDataCreate(kCFAllocatorDefault, odd, sizeof odd);
    CFMutableDictionaryRef copy = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    for (const char* k : {"version", "type", "subtype", "manufacturer"}) CFDictionarySetValue(copy, __CFStringMakeConstantString(k), value(dict, k));
    CFDictionarySetValue(copy, CFSTR("data"), oddData);
    CFPropertyListRef p = copy;
    EXPECT_EQ(noErr, AudioUnitSetProperty(other, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &p, sizeof p));
    EXPECT_EQ(0.5f, param(other, kGainParam_Gain));

    for (CFTypeRef x : {(CFTypeRef)v1, (CFTypeRef)vw, (CFTypeRef)cut, (CFTypeRef)oddData, (CFTypeRef)copy, state}) CFRelease(x);
}

} // namespace
