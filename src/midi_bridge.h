#pragma once
// Turns incoming MIDI messages into engine commands, control changes and sync
// events through the binding table, and learns new bindings.
#include <kvo/sigcompat.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "event.h"
#include "lockmonitor.hpp"
#include "midi_bind.h"
#include "rt_signal.h"

namespace Quillomat {

class MidiBridge : public SigC::Object {
public:
    // No port and no thread: every message comes in through inject_midi.
    explicit MidiBridge(std::string name);
    virtual ~MidiBridge();

    virtual bool is_ok() const { return _ok; }

    // All five are emitted synchronously on the thread that delivered the
    // message, while the bindings lock is held (so a handler must not wait for
    // that lock). Frames are the message's offset into the next audio block,
    // -1 for none.
    RtSignal<SigC::Signal1<void, MidiBindInfo>> BindingLearned;
    RtSignal<SigC::Signal1<void, MidiBindInfo>> NextMidiReceived;
    RtSignal<SigC::Signal4<void, Event::type_t, Event::command_t, int8_t, long>> MidiCommandEvent;
    RtSignal<SigC::Signal5<void, Event::type_t, Event::control_t, float, int8_t, long>> MidiControlEvent;
    // Unbound MIDI start, stop and clock: control MidiStart, MidiStop, MidiTick.
    RtSignal<SigC::Signal2<void, Event::control_t, long>> MidiSyncEvent;

    // Host MIDI thread. Never waits, except to hand over a completed learn or
    // captured message; while the bindings are being changed elsewhere the
    // message is dropped.
    void inject_midi(unsigned char status, unsigned char data1, unsigned char data2, long frame);

    // Engine thread; they may wait briefly for a learn completion in progress.
    // The next note, controller or program change message completes the learn
    // (BindingLearned) or the capture (NextMidiReceived) instead of firing
    // bindings. exclusive is for the caller's add_binding; it is not used here.
    void start_learn(const MidiBindInfo& info, bool exclusive = false);
    void cancel_learn();
    void start_get_next();
    void cancel_get_next();

    // Whoever reads or changes the table outside the MIDI path holds the lock.
    MidiBindings& bindings() { return _midi_bindings; }
    Kvo::NonBlockingLock& bindings_lock() { return _bindings_lock; }

    MidiBridge(const MidiBridge&) = delete;
    MidiBridge& operator=(const MidiBridge&) = delete;

private:
    void queue_midi(unsigned char status, unsigned char data1, unsigned char data2, long frame);
    void finish_learn(unsigned char status, unsigned char data1);
    void send_event(const MidiBindInfo& info, float value, long frame);

    std::string _name;
    MidiBindings _midi_bindings;
    Kvo::NonBlockingLock _bindings_lock;
    // Guards _learninfo: the engine thread fills it while the MIDI path may be
    // completing a learn, and the engine may or may not hold the bindings lock
    // when it starts one. Taken after the bindings lock, never before.
    Kvo::NonBlockingLock _learn_lock;
    std::atomic<bool> _learning{false};
    std::atomic<bool> _getnext{false};
    MidiBindInfo _learninfo;
    bool _ok = false;
};

// Fader position 0..1 to linear gain: 0 and below give 0, 1 gives 1, 0.5 about
// 0.15 (-16.5 dB).
double uniform_position_to_gain(double x);

} // namespace Quillomat
