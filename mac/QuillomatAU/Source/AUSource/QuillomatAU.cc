// The effect's component entry, construction, initialisation, the engine
// thread, clean-up, destruction and host MIDI.
#include "QuillomatAU.h"

#include <unistd.h>

#include <iostream>

#include <AudioUnit/AudioUnitCarbonView.h>
#include <kvo/transmitter.h>

#include "QuillomatAUShared.h"
#include "engine.h"
#include "midi_bridge.h"

// The program-wide message channels, defined here as well as in the support
// library (channels.cc) on purpose: these are built and destroyed with the
// plug-in's own unit, at its load and unload, in this order and the reverse
// one. The library's copy never joins them: a static library's object is
// linked only for a symbol nothing else defines. Nothing is attached to them
// here: what a user sees goes to standard error.
namespace Kvo {
Transmitter error(Transmitter::Error);
Transmitter info(Transmitter::Info);
Transmitter fatal(Transmitter::Fatal);
Transmitter warning(Transmitter::Warning);
} // namespace Kvo

const CFStringRef kParameterOSCPortName = CFSTR("OSC Port");

COMPONENT_ENTRY(QuillomatAU)

namespace {
const float kDefaultLoopSecs = 40.0f;
const useconds_t kEngineIdleMicros = 10000;
} // namespace

QuillomatAU::QuillomatAU(ComponentInstance inComponentInstance)
    : AUMIDIEffectBase(inComponentInstance, false),
      AudioDriver("", ""),
      _engine(nullptr),
      _midi_bridge(nullptr),
      _engine_thread(),
      _thread_started(false),
      _alive(false),
      _in_channel_id(0),
      _out_channel_id(0),
      _chancnt(0),
      _out_buflist(),
      _in_buflist(),
      _curr_stamp(),
      _last_framepos(0)
{
    CreateElements();
    Globals()->UseIndexedParameters(1);
    SetBusCount(kAudioUnitScope_Input, kBusCount);
    SetBusCount(kAudioUnitScope_Output, kBusCount);

    _engine = new Quillomat::Engine();
    _midi_bridge = new Quillomat::MidiBridge("AUmidi");
    _engine->set_midi_bridge(_midi_bridge);
    // An OSC client must not be able to stop the engine under the host.
    _engine->set_ignore_quit(true);
}

QuillomatAU::~QuillomatAU()
{
    // Closed without clean-up: the thread still runs.
    if (_alive.load()) stop_engine_thread();
    delete _engine;
    delete _midi_bridge;
}

ComponentResult QuillomatAU::Initialize()
{
    const SInt16 nin = (SInt16)GetStreamFormat(kAudioUnitScope_Input, 0).NumberChannels();
    const SInt16 nout = (SInt16)GetStreamFormat(kAudioUnitScope_Output, 0).NumberChannels();
    if (nin != nout || nout == 0) return kAudioUnitErr_FormatNotSupported;

    _alive.store(true);
    if (pthread_create(&_engine_thread, nullptr, &QuillomatAU::_engine_mainloop, this) != 0) {
        _alive.store(false);
        std::cerr << "cannot start the engine thread" << std::endl;
        return kAudioUnitErr_FailedInitialization;
    }
    _thread_started = true;
    _chancnt = (uint32_t)nout;

    std::cerr << "Initializing engine with " << nin << " inputs and " << nout << " outputs" << std::endl;
    if (!_engine->initialize(this, (int)_chancnt, kBaseOSCPort, "")) {
        // The engine has said why; a unit without it would render nothing.
        stop_engine_thread();
        _engine->cleanup();
        publish_port();
        return kAudioUnitErr_FailedInitialization;
    }
    publish_port();

    bool loaded = false;
    if (!_pending_restore.empty()) {
        std::cerr << "doing state restore with: " << _pending_restore << std::endl;
        loaded = _engine->load_session("", &_pending_restore);
        if (!loaded) std::cerr << "the restored session could not be loaded; starting with one loop" << std::endl;
    }
    if (!loaded) _engine->add_loop(_chancnt, kDefaultLoopSecs, true);
    _cleanup_session.clear();

    for (UInt32 i = 0; i < kBusCount; ++i) _in_buflist[i] = _out_buflist[i] = nullptr;
    return noErr;
}

void* QuillomatAU::_engine_mainloop(void* arg)
{
    QuillomatAU* self = static_cast<QuillomatAU*>(arg);
    while (self->_alive.load()) {
        // Returns at once while the engine is not running.
        self->_engine->mainloop();
        usleep(kEngineIdleMicros);
    }
    return nullptr;
}

void QuillomatAU::stop_engine_thread()
{
    _alive.store(false);
    _engine->quit(true);
    if (_thread_started) {
        pthread_join(_engine_thread, nullptr);
        _thread_started = false;
    }
}

void QuillomatAU::Cleanup()
{
    std::cerr << "cleanuop called" << std::endl;
    if (_alive.load()) {
        // Kept for a save before the next initialisation.
        if (!_engine->is_ok() || !_engine->save_session("", &_cleanup_session)) _cleanup_session.clear();
        stop_engine_thread();
        _engine->cleanup();
    }
    _pending_restore.clear();
    _in_channel_id = _out_channel_id = 0;
    // Nobody listens on the port any more.
    publish_port();
}

ComponentResult QuillomatAU::Reset(AudioUnitScope, AudioUnitElement) { return noErr; }

void QuillomatAU::GetUIComponentDescs(ComponentDescription* inDescArray)
{
    inDescArray[0].componentType = kAudioUnitCarbonViewComponentType;
    inDescArray[0].componentSubType = 0x6c6f6f70;       // 'loop'
    inDescArray[0].componentManufacturer = 0x5175696c;  // 'Quil'
    inDescArray[0].componentFlags = 0;
    inDescArray[0].componentFlagsMask = 0;
}

OSStatus QuillomatAU::HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 inStartFrame)
{
    if (!IsInitialized()) return kAudioUnitErr_Uninitialized;
    _midi_bridge->inject_midi((unsigned char)(status | channel), data1, data2, (long)inStartFrame);
    return noErr;
}

ComponentResult QuillomatAU::ComponentEntryDispatch(ComponentParameters* params, QuillomatAU* This)
{
    // GetProperty takes five: the id, scope, element, data and size.
    if (params && This && params->what == kAudioUnitGetPropertySelect &&
        (UInt32)ComponentArgument(params, 0, 5) == kQuillomatAppPathProperty)
        return This->app_path_property(reinterpret_cast<void*>(ComponentArgument(params, 3, 5)),
                                       reinterpret_cast<UInt32*>(ComponentArgument(params, 4, 5)));
    return AUMIDIEffectBase::ComponentEntryDispatch(params, This);
}
