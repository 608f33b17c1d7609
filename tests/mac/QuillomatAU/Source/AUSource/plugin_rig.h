#pragma once
// The effect opened in-process through its entry point and driven through
// the host's C calls: formats on every bus, input callbacks, render calls,
// MIDI, saved state and properties.
#include <AUPublic/CAStreamBasicDescription.h>
#include <AudioUnit/AudioUnit.h>
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

extern "C" ComponentResult QuillomatAUEntry(ComponentParameters* params, Handle storage);

namespace qmtest {

// Input on bus 0: channel c at absolute frame n, a tone that never repeats
// within a test. Other buses: silence. Counts the buses it was asked for.
struct PluginInput {
    static float value(UInt32 c, double frame) { return 0.25f * std::sin(0.0123 * frame + 0.7 * c + 1e-6 * frame * frame); }

    static OSStatus render(void* ref, AudioUnitRenderActionFlags*, const AudioTimeStamp* ts, UInt32 bus, UInt32 frames,
                           AudioBufferList* io)
    {
        PluginInput* self = static_cast<PluginInput*>(ref);
        if (bus < 16) ++self->pulls[bus];
        for (UInt32 c = 0; c < io->mNumberBuffers; ++c) {
            float* d = static_cast<float*>(io->mBuffers[c].mData);
            if (bus != 0 || !self->live) {
                std::memset(d, 0, frames * sizeof(float));
                continue;
            }
            for (UInt32 f = 0; f < frames; ++f) d[f] = value(c, ts->mSampleTime + f);
        }
        return noErr;
    }

    bool live = true;
    int pulls[16] = {};
};

class PluginRig {
public:
    static const OSType kType = kAudioUnitType_MusicEffect, kSub = 0x6c6f6f70, kManu = 0x5175696c;

    PluginRig()
    {
        ComponentDescription desc = {kType, kSub, kManu, 0, 0};
        component = RegisterComponent(&desc, QuillomatAUEntry, 0, nullptr, nullptr, nullptr);
        EXPECT_NE(nullptr, component);
        EXPECT_EQ(noErr, OpenAComponent(component, &unit));
    }
    ~PluginRig()
    {
        close();
        if (component) UnregisterComponent(component);
    }
    PluginRig(const PluginRig&) = delete;
    PluginRig& operator=(const PluginRig&) = delete;

    void close()
    {
        if (unit) {
            EXPECT_EQ(noErr, CloseComponent(unit));
        }
        unit = nullptr;
    }

    OSStatus set_format(AudioUnitScope scope, UInt32 bus, UInt32 channels, double rate = 48000.0)
    {
        const AudioStreamBasicDescription d = CAStreamBasicDescription(rate, channels);
        return AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, scope, bus, &d, sizeof d);
    }
    // Every bus `channels` wide at `rate`, inputs from `input`, at most max_frames a call.
    void configure(UInt32 channels = 2, UInt32 max_frames = 512, double rate = 48000.0)
    {
        chans = channels;
        this->rate = rate;
        for (AudioUnitScope s : {kAudioUnitScope_Input, kAudioUnitScope_Output})
            for (UInt32 b = 0; b < 9; ++b) ASSERT_EQ(noErr, set_format(s, b, channels, rate));
        for (UInt32 b = 0; b < 9; ++b) {
            AURenderCallbackStruct cb = {&PluginInput::render, &input};
            ASSERT_EQ(noErr, AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                                  b, &cb, sizeof cb));
        }
        ASSERT_EQ(noErr, AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global,
                                              0, &max_frames, sizeof max_frames));
        out.assign(chans, std::vector<float>(max_frames));
        list.assign(offsetof(AudioBufferList, mBuffers) + chans * sizeof(AudioBuffer), 0);
    }

    // One render call of `frames` on `bus` at the running position; the
    // output lands in out.
    OSStatus render(UInt32 frames, UInt32 bus = 0, bool advance = true)
    {
        AudioBufferList* l = reinterpret_cast<AudioBufferList*>(list.data());
        l->mNumberBuffers = chans;
        for (UInt32 c = 0; c < chans; ++c) l->mBuffers[c] = AudioBuffer{1, frames * 4, out[c].data()};
        AudioTimeStamp ts = {};
        ts.mSampleTime = (Float64)position;
        ts.mFlags = kAudioTimeStampSampleTimeValid;
        AudioUnitRenderActionFlags flags = 0;
        OSStatus err = AudioUnitRender(unit, &flags, &ts, bus, frames, l);
        for (UInt32 c = 0; err == noErr && c < chans; ++c)
            if (l->mBuffers[c].mData != out[c].data())
                std::memcpy(out[c].data(), l->mBuffers[c].mData, frames * sizeof(float));
        if (advance) position += frames;
        return err;
    }

    // A host whose transport rolls at `bpm` from frame 0.
    void follow_tempo(double bpm)
    {
        tempo = bpm;
        HostCallbackInfo info = {this, &PluginRig::beat_and_tempo, &PluginRig::musical_time, nullptr};
        ASSERT_EQ(noErr, AudioUnitSetProperty(unit, kAudioUnitProperty_HostCallbacks, kAudioUnitScope_Global, 0,
                                              &info, sizeof info));
    }
    static OSStatus beat_and_tempo(void* user, Float64* beat, Float64* bpm)
    {
        const PluginRig* self = static_cast<PluginRig*>(user);
        if (beat) *beat = (double)self->position * self->tempo / (60.0 * self->rate);
        if (bpm) *bpm = self->tempo;
        return noErr;
    }
    static OSStatus musical_time(void*, UInt32*, Float32*, UInt32*, Float64*) { return noErr; }

    float param0()
    {
        AudioUnitParameterValue v = -1;
        EXPECT_EQ(noErr, AudioUnitGetParameter(unit, 0, kAudioUnitScope_Global, 0, &v));
        return v;
    }

    // The unit's saved state; owned by the caller.
    CFMutableDictionaryRef save()
    {
        CFPropertyListRef state = nullptr;
        UInt32 size = sizeof state;
        EXPECT_EQ(noErr,
                  AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state, &size));
        return (CFMutableDictionaryRef)state;
    }
    OSStatus restore(CFPropertyListRef state)
    {
        return AudioUnitSetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state,
                                    sizeof state);
    }
    // A block of the saved state as text; "<none>" when missing.
    std::string saved(const char* key)
    {
        CFMutableDictionaryRef state = save();
        std::string text = block(state, key);
        CFRelease(state);
        return text;
    }
    static std::string block(CFDictionaryRef state, const char* key)
    {
        CFTypeRef v = CFDictionaryGetValue(state, __CFStringMakeConstantString(key));
        if (!v || CFGetTypeID(v) != CFDataGetTypeID()) return "<none>";
        CFDataRef d = (CFDataRef)v;
        return std::string((const char*)CFDataGetBytePtr(d), (size_t)CFDataGetLength(d));
    }
    static void set_block(CFMutableDictionaryRef state, const char* key, const std::string& text)
    {
        CFDataRef d = CFDataCreate(kCFAllocatorDefault, (const UInt8*)text.data(), (CFIndex)text.size());
        CFDictionarySetValue(state, __CFStringMakeConstantString(key), d);
        CFRelease(d);
    }
    // The unit's state with these blocks replaced.
    OSStatus restore_blocks(const std::vector<std::pair<const char*, std::string>>& blocks)
    {
        CFMutableDictionaryRef state = save();
        for (const auto& b : blocks) set_block(state, b.first, b.second);
        OSStatus err = restore(state);
        CFRelease(state);
        return err;
    }

    Component component = nullptr;
    AudioUnit unit = nullptr;
    PluginInput input;
    UInt32 chans = 2;
    double rate = 48000.0, tempo = 0.0;
    uint64_t position = 0;
    std::vector<std::vector<float>> out;
    std::vector<unsigned char> list;
};

// How many "<Looper " elements a session text holds.
inline int loops_in(const std::string& session)
{
    int n = 0;
    for (size_t at = session.find("<Looper "); at != std::string::npos; at = session.find("<Looper ", at + 1)) ++n;
    return n;
}

} // namespace qmtest
