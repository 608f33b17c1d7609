#pragma once
// Loads a plug-in's shared object, opens the unit through its entry point and
// drives it as a host does: formats, host callbacks, input callbacks, saved
// state, initialisation, render calls with MIDI in between.
//
// Ways in for more: further MidiSource kinds (a live MIDI pipe is one, in
// midi_pipe.h) are added with add_midi_source; library() and unit() give what
// an editor view opener needs (the view's entry point beside the effect's, and
// the unit it edits).
#include <AudioUnit/AudioUnit.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midi_file.h"

namespace qmhost {

class MidiSource {
public:
    virtual ~MidiSource() {}
    // Hands the unit the messages due in [start, start + frames), each with
    // its offset in that stretch. Called right before each render call.
    virtual void deliver(AudioUnit unit, uint64_t start, uint32_t frames) = 0;
};

class FileMidiSource : public MidiSource {
public:
    explicit FileMidiSource(std::vector<TimedMidi> messages) : _messages(std::move(messages)) {}
    void deliver(AudioUnit unit, uint64_t start, uint32_t frames) override;

private:
    std::vector<TimedMidi> _messages;
    size_t _next = 0;
};

struct UnitSetup {
    uint32_t channels = 2;
    double rate = 48000;
    uint32_t max_frames = 512;
    double tempo = 120;  // 0: no tempo callbacks
};

class PluginHost {
public:
    PluginHost() {}
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // Each returns false with a one-line reason. An unloadable plug-in goes
    // from memory at close once nothing else holds it.
    bool load(const std::string& path, const std::string& entry, std::string& error, bool unloadable = false);
    // Every input and output bus gets the format; every input bus a source
    // (bus 0 the audio given to render, the others silence).
    bool configure(const UnitSetup& setup, std::string& error);
    bool restore_state(const std::string& path, std::string& error);
    bool save_state(const std::string& path, std::string& error);
    // The unit's state as a property list (the caller releases it), and one
    // given back to it.
    OSStatus get_state(CFPropertyListRef& state) const;
    OSStatus set_state(CFPropertyListRef state);
    // Initialises and resets the unit, as before playback.
    bool initialize(std::string& error);
    bool parameter(AudioUnitParameterID id, float& value) const;

    void add_midi_source(std::unique_ptr<MidiSource> source) { _midi.push_back(std::move(source)); }

    // One render call of bus 0 for `frames` (at most max_frames): in and out
    // hold one buffer per channel.
    bool render(const float* const* in, float* const* out, uint32_t frames, std::string& error);
    uint64_t position() const { return _position; }

    // Uninitialises and closes the unit and unloads the library; also done
    // by the destructor.
    void close();

    AudioUnit unit() const { return _unit; }
    void* library() const { return _library; }

private:
    static OSStatus bus0_input(void* ref, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32 frames,
                               AudioBufferList* io);
    static OSStatus silent_input(void* ref, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                                 UInt32 frames, AudioBufferList* io);
    static OSStatus beat_and_tempo(void* user, Float64* beat, Float64* tempo);
    static OSStatus musical_time(void* user, UInt32* delta, Float32* numerator, UInt32* denominator,
                                 Float64* downbeat);
    static OSStatus transport_state(void* user, Boolean* playing, Boolean* changed, Float64* sample,
                                    Boolean* cycling, Float64* cycle_start, Float64* cycle_end);
    double beat() const;

    void* _library = nullptr;
    bool _unloadable = false;
    Component _component = nullptr;
    AudioUnit _unit = nullptr;
    bool _initialized = false;
    UnitSetup _setup;
    uint64_t _position = 0;
    const float* const* _in = nullptr;
    std::vector<unsigned char> _out_list;
    std::vector<std::unique_ptr<MidiSource>> _midi;
};

// Registers a component entry point looked up in a loaded library under
// `desc` and opens an instance. On failure `component` may still be
// registered: the caller unregisters it.
OSErr open_entry(void* entry, ComponentDescription desc, Component& component, ComponentInstance& instance);

// A write to a pipe whose reader has gone then fails instead of ending the
// process; any network client can make the plug-in write a line.
void ignore_broken_pipes();

// A write past the file-size limit then fails (and the save with it) instead
// of ending the process and every loop it holds.
void ignore_file_size_limit();

// "status -10868 (format not supported)" and the like.
std::string status_text(OSStatus status);

} // namespace qmhost
