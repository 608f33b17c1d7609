#include "host.h"

#include <AUPublic/CAStreamBasicDescription.h>
#include <dlfcn.h>
#include <signal.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

#include "plist.h"

namespace qmhost {
namespace {

// The registration the host gives the plug-in; saved states carry it and a
// state is restored only into a unit registered alike.
const ComponentDescription kRegistration = {kAudioUnitType_MusicEffect, 0x6c6f6f70 /* 'loop' */,
                                            0x5175696c /* 'Quil' */, 0, 0};

const char* status_name(OSStatus s)
{
    switch (s) {
    case kAudioUnitErr_InvalidProperty: return "invalid property";
    case kAudioUnitErr_InvalidParameter: return "invalid parameter";
    case kAudioUnitErr_InvalidElement: return "invalid element";
    case kAudioUnitErr_NoConnection: return "no connection";
    case kAudioUnitErr_FailedInitialization: return "failed initialisation";
    case kAudioUnitErr_TooManyFramesToProcess: return "too many frames";
    case kAudioUnitErr_FormatNotSupported: return "format not supported";
    case kAudioUnitErr_Uninitialized: return "not initialised";
    case kAudioUnitErr_InvalidScope: return "invalid scope";
    case kAudioUnitErr_PropertyNotWritable: return "property not writable";
    case kAudioUnitErr_InvalidPropertyValue: return "invalid property value";
    case kAudioUnitErr_Initialized: return "already initialised";
    case paramErr: return "bad argument";
    case memFullErr: return "out of memory";
    case badComponentSelector: return "call not supported";
    default: return nullptr;
    }
}

} // namespace

void ignore_broken_pipes() { signal(SIGPIPE, SIG_IGN); }

void ignore_file_size_limit() { signal(SIGXFSZ, SIG_IGN); }

std::string status_text(OSStatus status)
{
    const char* name = status_name(status);
    return "status " + std::to_string(status) + (name ? std::string(" (") + name + ")" : std::string());
}

void FileMidiSource::deliver(AudioUnit unit, uint64_t start, uint32_t frames)
{
    // Messages before the start (a run that began late) are skipped.
    while (_next < _messages.size() && _messages[_next].frame < start) ++_next;
    for (; _next < _messages.size() && _messages[_next].frame < start + frames; ++_next) {
        const TimedMidi& m = _messages[_next];
        OSStatus err = MusicDeviceMIDIEvent(unit, m.bytes[0], m.size > 1 ? m.bytes[1] : 0, m.size > 2 ? m.bytes[2] : 0,
                                            (UInt32)(m.frame - start));
        if (err != noErr)
            std::fprintf(stderr, "qmhost: the plug-in refused the MIDI message at frame %llu: %s\n",
                         (unsigned long long)m.frame, status_text(err).c_str());
    }
}

OSErr open_entry(void* entry, ComponentDescription desc, Component& component, ComponentInstance& instance)
{
    ComponentRoutineProcPtr proc;
    std::memcpy(&proc, &entry, sizeof proc);
    component = RegisterComponent(&desc, proc, 0, nullptr, nullptr, nullptr);
    return component ? OpenAComponent(component, &instance) : (OSErr)memFullErr;
}

PluginHost::~PluginHost() { close(); }

bool PluginHost::load(const std::string& path, const std::string& entry, std::string& error, bool unloadable)
{
    // Else never unmapped: what a plug-in leaves behind (its constant
    // strings, a thread still winding down) stays valid until the process
    // ends.
    _unloadable = unloadable;
    _library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | (unloadable ? 0 : RTLD_NODELETE));
    if (!_library) {
        const char* why = dlerror();
        error = "cannot load plug-in " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    void* sym = dlsym(_library, entry.c_str());
    if (!sym) {
        error = "plug-in " + path + " has no entry point " + entry;
        return false;
    }
    OSErr err = open_entry(sym, kRegistration, _component, _unit);
    if (err != noErr) {
        error = "the plug-in could not be opened: " + status_text(err);
        return false;
    }
    return true;
}

bool PluginHost::configure(const UnitSetup& setup, std::string& error)
{
    _setup = setup;
    auto fail = [&](const std::string& what, OSStatus err) {
        error = "the plug-in refused " + what + ": " + status_text(err);
        return false;
    };
    const AudioStreamBasicDescription f = CAStreamBasicDescription(setup.rate, setup.channels);
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
        UInt32 buses = 0, size = sizeof buses;
        OSStatus err = AudioUnitGetProperty(_unit, kAudioUnitProperty_ElementCount, scope, 0, &buses, &size);
        if (err != noErr) return fail("the bus count", err);
        for (UInt32 bus = 0; bus < buses; ++bus) {
            err = AudioUnitSetProperty(_unit, kAudioUnitProperty_StreamFormat, scope, bus, &f, sizeof f);
            if (err != noErr)
                return fail(std::to_string(setup.channels) + " channels at " + std::to_string((long)setup.rate) + " Hz",
                            err);
            if (scope != kAudioUnitScope_Input) continue;
            AURenderCallbackStruct cb = {bus == 0 ? &PluginHost::bus0_input : &PluginHost::silent_input, this};
            err = AudioUnitSetProperty(_unit, kAudioUnitProperty_SetRenderCallback, scope, bus, &cb, sizeof cb);
            if (err != noErr) return fail("an input callback", err);
        }
    }
    OSStatus err = AudioUnitSetProperty(_unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                                        &setup.max_frames, sizeof setup.max_frames);
    if (err != noErr) return fail("a maximum of " + std::to_string(setup.max_frames) + " frames", err);
    if (setup.tempo > 0) {
        HostCallbackInfo info = {this, &PluginHost::beat_and_tempo, &PluginHost::musical_time,
                                 &PluginHost::transport_state};
        err = AudioUnitSetProperty(_unit, kAudioUnitProperty_HostCallbacks, kAudioUnitScope_Global, 0, &info,
                                   sizeof info);
        if (err != noErr) return fail("the host callbacks", err);
    }
    _out_list.assign(offsetof(AudioBufferList, mBuffers) + setup.channels * sizeof(AudioBuffer), 0);
    return true;
}

bool PluginHost::restore_state(const std::string& path, std::string& error)
{
    std::string why;
    CFPropertyListRef state = read_plist_file(path, why);
    if (!state) {
        error = "cannot read state file " + path + ": " + why;
        return false;
    }
    OSStatus err = set_state(state);
    CFRelease(state);
    if (err != noErr) {
        error = "the plug-in refused the state in " + path + ": " + status_text(err);
        return false;
    }
    return true;
}

bool PluginHost::save_state(const std::string& path, std::string& error)
{
    CFPropertyListRef state = nullptr;
    OSStatus err = get_state(state);
    if (err != noErr || !state) {
        error = "the plug-in gave no state: " + status_text(err);
        return false;
    }
    std::string why;
    bool ok = write_plist_file(state, path, why);
    CFRelease(state);
    if (!ok) error = "cannot write state file " + path + ": " + why;
    return ok;
}

OSStatus PluginHost::get_state(CFPropertyListRef& state) const
{
    UInt32 size = sizeof state;
    return AudioUnitGetProperty(_unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state, &size);
}

OSStatus PluginHost::set_state(CFPropertyListRef state)
{
    return AudioUnitSetProperty(_unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state, sizeof state);
}

bool PluginHost::initialize(std::string& error)
{
    OSStatus err = AudioUnitInitialize(_unit);
    if (err != noErr) {
        error = "the plug-in could not be initialised: " + status_text(err);
        return false;
    }
    _initialized = true;
    // Playback starts here, from a clean slate.
    err = AudioUnitReset(_unit, kAudioUnitScope_Global, 0);
    if (err != noErr) {
        error = "the plug-in could not be reset: " + status_text(err);
        return false;
    }
    return true;
}

bool PluginHost::parameter(AudioUnitParameterID id, float& value) const
{
    return AudioUnitGetParameter(_unit, id, kAudioUnitScope_Global, 0, &value) == noErr;
}

bool PluginHost::render(const float* const* in, float* const* out, uint32_t frames, std::string& error)
{
    for (auto& m : _midi) m->deliver(_unit, _position, frames);
    AudioBufferList* list = reinterpret_cast<AudioBufferList*>(_out_list.data());
    list->mNumberBuffers = _setup.channels;
    for (uint32_t c = 0; c < _setup.channels; ++c)
        list->mBuffers[c] = AudioBuffer{1, frames * (UInt32)sizeof(float), out[c]};
    AudioTimeStamp ts = {};
    ts.mSampleTime = (Float64)_position;
    ts.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    _in = in;
    OSStatus err = AudioUnitRender(_unit, &flags, &ts, 0, frames, list);
    _in = nullptr;
    if (err != noErr) {
        error = "render failed at frame " + std::to_string(_position) + ": " + status_text(err);
        return false;
    }
    // A unit may lend its own buffers instead of filling ours.
    for (uint32_t c = 0; c < _setup.channels; ++c)
        if (list->mBuffers[c].mData != out[c]) std::memcpy(out[c], list->mBuffers[c].mData, frames * sizeof(float));
    _position += frames;
    return true;
}

void PluginHost::close()
{
    auto close_unit = [this] {
        if (_unit) {
            if (_initialized) AudioUnitUninitialize(_unit);
            CloseComponent(_unit);
        }
        if (_component) UnregisterComponent(_component);
    };
    // What the plug-in keeps per thread holds it loaded as long as that
    // thread lives.
    if (_unloadable)
        std::thread(close_unit).join();
    else
        close_unit();
    if (_library) dlclose(_library);
    _unit = nullptr;
    _component = nullptr;
    _library = nullptr;
    _initialized = false;
}

OSStatus PluginHost::bus0_input(void* ref, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32 frames,
                                AudioBufferList* io)
{
    const PluginHost* h = static_cast<const PluginHost*>(ref);
    for (UInt32 c = 0; c < io->mNumberBuffers; ++c) {
        if (!io->mBuffers[c].mData) return paramErr;
        if (h->_in && c < h->_setup.channels)
            std::memcpy(io->mBuffers[c].mData, h->_in[c], frames * sizeof(float));
        else
            std::memset(io->mBuffers[c].mData, 0, frames * sizeof(float));
    }
    return noErr;
}

OSStatus PluginHost::silent_input(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                                  UInt32 frames, AudioBufferList* io)
{
    for (UInt32 c = 0; c < io->mNumberBuffers; ++c) {
        if (!io->mBuffers[c].mData) return paramErr;
        std::memset(io->mBuffers[c].mData, 0, frames * sizeof(float));
    }
    // No silence flag: the unit passes these flags on to its own output.
    return noErr;
}

double PluginHost::beat() const { return (double)_position * _setup.tempo / (60.0 * _setup.rate); }

OSStatus PluginHost::beat_and_tempo(void* user, Float64* beat, Float64* tempo)
{
    const PluginHost* h = static_cast<const PluginHost*>(user);
    if (beat) *beat = h->beat();
    if (tempo) *tempo = h->_setup.tempo;
    return noErr;
}

OSStatus PluginHost::musical_time(void* user, UInt32* delta, Float32* numerator, UInt32* denominator,
                                  Float64* downbeat)
{
    const PluginHost* h = static_cast<const PluginHost*>(user);
    double b = h->beat();
    double samples_per_beat = 60.0 * h->_setup.rate / h->_setup.tempo;
    if (delta) *delta = (UInt32)std::lround((std::ceil(b) - b) * samples_per_beat);
    if (numerator) *numerator = 4.0f;
    if (denominator) *denominator = 4;
    if (downbeat) *downbeat = std::floor(b / 4.0) * 4.0;
    return noErr;
}

OSStatus PluginHost::transport_state(void* user, Boolean* playing, Boolean* changed, Float64* sample,
                                     Boolean* cycling, Float64* cycle_start, Float64* cycle_end)
{
    const PluginHost* h = static_cast<const PluginHost*>(user);
    if (playing) *playing = true;
    if (changed) *changed = h->_position == 0;
    if (sample) *sample = (Float64)h->_position;
    if (cycling) *cycling = false;
    if (cycle_start) *cycle_start = 0;
    if (cycle_end) *cycle_end = 0;
    return noErr;
}

} // namespace qmhost
