#pragma once
// The looper as an Audio Unit effect with MIDI input. It owns the engine and
// the MIDI bridge, is the engine's audio driver (bus 0 carries the common
// ports, bus L+1 loop L's own), runs the engine's main loop on a thread of its
// own, and keeps the session, the MIDI bindings and the GUI path in the
// host's saved state.
//
// Threads: the host's main thread opens, initialises, cleans up, saves and
// restores; the render thread renders and delivers MIDI; the engine thread
// runs Engine::mainloop. Render and MIDI take no blocking lock.
#include <AUPublic/AUMIDIEffectBase.h>
#include <CoreAudio/CoreAudioTypes.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "audio_driver.h"
#include "lockmonitor.hpp"

namespace Quillomat {
class Engine;
class MidiBridge;
} // namespace Quillomat

// Parameter 0's name.
extern const CFStringRef kParameterOSCPortName;

class QuillomatAU : public AUMIDIEffectBase, public Quillomat::AudioDriver {
public:
    static const UInt32 kBusCount = 9;
    static const int kBaseOSCPort = 10051;

    explicit QuillomatAU(ComponentInstance inComponentInstance);
    ~QuillomatAU() override;

    // --- lifecycle
    ComponentResult Initialize() override;
    void Cleanup() override;
    ComponentResult Reset(AudioUnitScope inScope, AudioUnitElement inElement) override;
    ComponentResult Version() override { return 0x00010000; }
    bool SupportsTail() override { return false; }
    int GetNumCustomUIComponents() override { return 1; }
    void GetUIComponentDescs(ComponentDescription* inDescArray) override;

    OSStatus HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 inStartFrame) override;

    // --- saved state, parameter 0, the GUI path property
    ComponentResult SaveState(CFPropertyListRef* outData) override;
    ComponentResult RestoreState(CFPropertyListRef inData) override;
    ComponentResult GetParameterInfo(AudioUnitScope inScope, AudioUnitParameterID inParameterID,
                                     AudioUnitParameterInfo& outParameterInfo) override;
    ComponentResult GetParameterValueStrings(AudioUnitScope inScope, AudioUnitParameterID inParameterID,
                                             CFArrayRef* outStrings) override;
    ComponentResult GetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                    UInt32& outDataSize, Boolean& outWritable) override;
    // outData holds the size GetPropertyInfo gave. A host's call for the GUI
    // path does not come here but to app_path_property, which knows the size
    // of the caller's buffer.
    ComponentResult GetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                void* outData) override;
    ComponentResult SetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                const void* inData, UInt32 inDataSize) override;

    // --- render
    ComponentResult Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                           UInt32 nFrames) override;
    OSStatus ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags, const AudioBufferList& inBuffer,
                                AudioBufferList& outBuffer, UInt32 inFramesToProcess) override;

    // --- the engine's audio driver
    bool initialize(const std::string& config) override;
    bool activate() override { return true; }
    bool deactivate() override { return true; }
    bool create_input_port(const std::string& name, Quillomat::port_id_t& id) override;
    bool create_output_port(const std::string& name, Quillomat::port_id_t& id) override;
    bool destroy_input_port(Quillomat::port_id_t) override { return true; }
    bool destroy_output_port(Quillomat::port_id_t) override { return true; }
    float* get_input_port_buffer(Quillomat::port_id_t id, Quillomat::nframes_t nframes) override;
    float* get_output_port_buffer(Quillomat::port_id_t id, Quillomat::nframes_t nframes) override;
    uint32_t get_input_port_count() override { return _in_channel_id; }
    uint32_t get_output_port_count() override { return _out_channel_id; }
    bool get_transport_info(Quillomat::TransportInfo& info) override;
    Quillomat::nframes_t get_samplerate() override;
    Quillomat::nframes_t get_buffersize() override;

    // The dispatcher of the exported entry point: the GUI path property is
    // answered here, where the caller's buffer size is known; everything
    // else goes to the MIDI-effect base.
    static ComponentResult ComponentEntryDispatch(ComponentParameters* params, QuillomatAU* This);

private:
    static void* _engine_mainloop(void* arg);

    bool create_port(const std::string& name, const char* direction, Quillomat::port_id_t& id);
    float* port_buffer(AudioBufferList* const* lists, Quillomat::port_id_t id) const;
    void publish_port();
    void stop_engine_thread();
    ComponentResult app_path_property(void* outData, UInt32* ioDataSize);

    // Owned. Named as the driver base's engine pointer, which it shadows: both
    // point at the same engine once it is initialised.
    Quillomat::Engine* _engine;
    Quillomat::MidiBridge* _midi_bridge;
    pthread_t _engine_thread;
    bool _thread_started;
    std::atomic<bool> _alive;
    std::string _pending_restore;
    // The session as it was at the last clean-up: what a save before the next
    // initialisation keeps in the host's document.
    std::string _cleanup_session;
    uint32_t _in_channel_id;
    uint32_t _out_channel_id;
    uint32_t _chancnt;
    // Render thread only, and valid only inside one render call.
    AudioBufferList* _out_buflist[kBusCount];
    AudioBufferList* _in_buflist[kBusCount];
    AudioTimeStamp _curr_stamp;
    uint64_t _last_framepos;
    // The editor view may read or write it from another thread than a save;
    // nothing real-time touches it, so a plain lock.
    std::string _guiapp_path;
    Kvo::Lock _path_lock;
};
