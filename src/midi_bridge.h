#pragma once
// Turns incoming MIDI messages into engine commands, control changes and sync
// events through the binding table, and learns new bindings.
#include <kvo/sigcompat.h>
#include <lo/lo_types.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "event.h"
#include "lockmonitor.hpp"
#include "midi_bind.h"
#include "rt_signal.h"

namespace MIDI {
class Parser;
class Port;
struct PortRequest;
} // namespace MIDI

namespace Quillomat {

class MidiBridge : public SigC::Object {
public:
    // No port and no thread: every message comes in through inject_midi.
    explicit MidiBridge(std::string name);
    // Own a port made from req and a MIDI thread that reads it. is_ok() is
    // false, and no thread runs, when the port did not open (req.status says
    // why) or carries no input. The thread runs as soon as the constructor
    // returns: connect to the signals below while holding bindings_lock().
    // The first form also sends every fired binding and sync message to
    // oscurl as an OSC message.
    MidiBridge(std::string name, std::string oscurl, MIDI::PortRequest& req);
    MidiBridge(std::string name, MIDI::PortRequest& req);
    // Stops the MIDI thread (it ends within one pass of its loop, whatever
    // arrives meanwhile) and closes the port.
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
    // The port's input parser, on the MIDI thread: one whole message (a single
    // byte for real-time messages), with no frame.
    void incoming_midi(MIDI::Parser& parser, unsigned char* msg, unsigned long len);

    // Engine thread; they may wait briefly for a learn completion in progress.
    // The next note, controller or program change message completes the learn
    // (BindingLearned) or the capture (NextMidiReceived) instead of firing
    // bindings; other messages meanwhile fire as usual and leave both pending.
    // exclusive is for the caller's add_binding; it is not used here.
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
    // False when the message cannot be bound: it is left to the bindings.
    bool finish_learn(unsigned char status, unsigned char data1);
    void send_event(const MidiBindInfo& info, float value, long frame);
    // value null: a command, sent with the control name only.
    void echo_osc(int instance, const char* word, const std::string& control, const float* value);

    bool open_port(MIDI::PortRequest& req);
    bool init_thread();
    static void* midi_thread_entry(void* arg);
    void midi_thread_work();
    int read_port(unsigned char* buf, unsigned long size);
    void poke_midi_thread();
    void terminate_midi_thread();

    std::string _name;
    std::string _oscurl;
    MidiBindings _midi_bindings;
    Kvo::NonBlockingLock _bindings_lock;
    // Guards _learninfo: the engine thread fills it while the MIDI path may be
    // completing a learn, and the engine may or may not hold the bindings lock
    // when it starts one. Taken after the bindings lock, never before.
    Kvo::NonBlockingLock _learn_lock;
    std::atomic<bool> _learning{false};
    std::atomic<bool> _getnext{false};
    MidiBindInfo _learninfo;
    // Owned. Read and deleted by the MIDI thread once it runs; the destructor
    // deletes what is left after joining it.
    MIDI::Port* _port = nullptr;
    // Echo destination, used only under the bindings lock.
    lo_address _addr = nullptr;
    bool _use_osc = false;
    int _midi_request_pipe[2] = {-1, -1};
    pthread_t _midi_thread{};
    bool _thread_started = false;
    std::atomic<bool> _done{false};
    bool _ok = false;
};

// Fader position 0..1 to linear gain: 0 and below give 0, 1 gives 1, 0.5 about
// 0.15 (-16.5 dB).
double uniform_position_to_gain(double x);

} // namespace Quillomat
