#pragma once
// The engine: owns the loopers, the event queues and the common input and
// output buffers; runs every loop once per audio block, applies queued commands
// at their frames, and generates the tempo and the sync signal the loops follow.
//
// Threads:
// - audio thread: process() and everything it calls; takes no lock and makes
//   no system call. It alone runs and changes the loopers that are live.
// - engine thread (and the host's main thread for the first loop and restored
//   sessions): adding and removing loops, global parameters, draining the
//   request and update queues (mainloop). These callers are serialised by
//   _instance_lock; a change that concerns live loopers is handed to the audio
//   thread, which applies it at the start of its next block. Session loads
//   and saves, loop additions and removal requests, from either thread, are
//   serialised by _session_lock.
// - While no block runs (none for several block periods, or none yet) the
//   engine side applies the audio thread's loop changes itself, under
//   _rt_lock, so that removed loops are freed all the same; a block only
//   tries that lock, and nothing is freed while it is held.
// - Loopers are freed on the engine thread alone (delete_released_loops),
//   outside every lock; other threads hand them over and keep no Looper*
//   past the lock that keeps it listed. cleanup frees the rest once the
//   engine thread has stopped.
// - A load or an add short of room (an add also of a place in the list)
//   while loops are on their way out waits for them (briefly) before it is
//   refused, letting go of _session_lock meanwhile: on the engine thread it
//   frees them itself, elsewhere it waits for the engine thread to say it
//   has (_freed_cond).
// - OSC and MIDI threads: the push_* producers only, and the MIDI bridge's
//   learn completions.
// - Loop serials: an add request reserves its loop's serial as it is queued,
//   so that events that follow it and name the loop's place reach that loop.
//   The audio thread holds such events (a bounded number) until the loop is
//   in place, or until its add has failed. _serial_lock guards the serials on
//   their way in; it is taken after _instance_lock, and by the producers.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <kvo/sigcompat.h>

#include "audio_driver.h"
#include "event.h"
#include "event_nonrt.h"
#include "lockmonitor.hpp"
#include "midi_bind.h"
#include "ringbuffer.h"

namespace Quillomat {

class ControlOSC;
class Looper;
class MidiBridge;

class Engine : public SigC::Object {
public:
    static const int TEMPO_WINDOW_SIZE = 4;
    static const int TEMPO_WINDOW_SIZE_MASK = 3;

    // Loop indices travel as a signed byte.
    static const unsigned int MaxLoops = 128;
    // A cycle of less than one eighth has no eighths for the processor and no
    // MIDI ticks; far above the upper bound the tick count overflows.
    static const float MinEighthPerCycle;
    static const float MaxEighthPerCycle;

    enum SyncSourceType {
        FIRST_SYNC_SOURCE = -5,
        BrotherSync = -4,
        InternalTempoSync = -3,
        MidiClockSync = -2,
        JackSync = -1,  // the host transport
        NoSync = 0
        // n >= 1: loop n-1 is the sync master
    };

    // An added or removed loop on its way to the audio thread and back.
    struct LoopManageEvent {
        enum EventType { AddLoop = 0, RemoveLoop = 1 };

        LoopManageEvent() : etype(AddLoop), looper(nullptr) {}
        LoopManageEvent(EventType t, Looper* l) : etype(t), looper(l) {}

        EventType etype;
        Looper* looper;
    };

    // Loop index and whether to announce the configuration (off while a
    // session loads); emitted on the adding thread.
    SigC::Signal2<void, int, bool> LoopAdded;
    // Once per deleted looper, after its deletion, on the engine thread.
    SigC::Signal0<void> LoopRemoved;

    Engine();
    virtual ~Engine();

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // --- set-up: host thread, while no block runs and the engine thread is stopped

    // Binds the driver, sizes every buffer by its block size, registers the
    // common ports "common_in_%d"/"common_out_%d" (from 1), creates the queues
    // and the OSC server (first free UDP port of port .. port + 19; without
    // one the engine runs all the same and reports port 0). text is not used.
    bool initialize(AudioDriver* driver, int channels, int port, std::string text);
    // Stops the OSC server, then deletes the queues, the buffers, every looper
    // and every queued request. Only after the engine thread has stopped.
    void cleanup();
    // The driver's block size changed; call before the next block, while no
    // block is being processed.
    void buffersize_changed(nframes_t n);

    // Any thread: stops the main loop (unless ignored and not forced).
    void quit(bool force);
    void set_ignore_quit(bool ignore) { _ignore_quit.store(ignore); }
    bool get_ignore_quit() const { return _ignore_quit.load(); }
    bool is_ok() const { return _ok.load(std::memory_order_acquire); }

    AudioDriver* get_audio_driver() const { return _driver; }
    // None before initialize.
    ControlOSC* get_control_osc() const { return _osc; }
    MidiBridge* get_midi_bridge() const { return _midi_bridge; }
    EventGenerator& get_event_generator() { return *_event_generator; }
    // The OSC server's UDP URL (udp false: its local-socket URL, which never
    // exists); empty without a server. The bound port; 0 without one.
    std::string get_osc_url(bool udp = true) const;
    int get_osc_port() const;

    // Used when an add request asks for 0 channels or 0 seconds; out-of-range
    // values are refused.
    bool set_default_loop_secs(float secs);
    bool set_default_channels(int channels);

    // --- common ports (the loopers call these on the audio thread)

    bool get_common_input(unsigned int chan, port_id_t& port);
    bool get_common_output(unsigned int chan, port_id_t& port);
    // The buffers the loopers read and mix into for the current block; null
    // past the channel count.
    float* get_common_input_buffer(unsigned int chan);
    float* get_common_output_buffer(unsigned int chan);
    // One slot per common channel, also where the driver refused the port.
    unsigned int get_common_input_count() const { return (unsigned int)_common_inputs.size(); }
    unsigned int get_common_output_count() const { return (unsigned int)_common_outputs.size(); }

    // --- audio thread

    // The block routine; nframes at most the driver's block size. Returns 0.
    int process(nframes_t nframes);
    // Frames are counted on from here, as after a run that long. Audio
    // thread, or any thread while no block runs.
    void set_running_frames(uint64_t frames) { _running_frames.store(frames, std::memory_order_relaxed); }

    // The internal sync signal of the last block (1.0 at a sync point).
    // Audio thread, or any thread while no block runs.
    const float* get_internal_sync_buf() const { return _internal_sync_buf; }

    // --- producers (OSC thread and the thread that delivers MIDI); a full
    //     queue drops the event and the call returns false. A signal that
    //     returns nothing reaches them through sigc::hide_return. An event
    //     for a loop index reaches the loop listed there at the call, or the
    //     one an add request queued before it puts there (-1: the loops
    //     listed then), and none once that loop has gone or its add failed.

    bool push_command_event(Event::type_t type, Event::command_t cmd, int8_t instance);
    bool push_midi_command_event(Event::type_t type, Event::command_t cmd, int8_t instance, long framepos);
    // Also passes the change on to the engine thread's update notices, with
    // src (the sender's UDP port) so the change is not echoed back to it.
    bool push_control_event(Event::type_t type, Event::control_t ctrl, float value, int8_t instance, int src);
    bool push_midi_control_event(Event::type_t type, Event::control_t ctrl, float value, int8_t instance,
                                 long framepos);
    // MidiStart, MidiStop or MidiTick; taken only while MIDI clock is the sync source.
    bool push_sync_event(Event::control_t ctrl, long framepos);
    // The engine owns the request from here on, also when it is refused (then
    // it is deleted at once and false returned). An add request reserves
    // its loop's serial here, for the events pushed after it.
    bool push_nonrt_event(EventNonRT* event);

    // --- MIDI bridge

    // Host's thread, before the engine thread runs (or with it stopped):
    // connects the bridge's five signals to the engine under the bridge's
    // bindings lock; null detaches. The bridge must outlive the engine or
    // be detached first.
    void set_midi_bridge(MidiBridge* bridge);
    // The bridge's learn and get-next completions (MIDI path; they take the
    // event-loop lock and wake the engine thread, which answers).
    void binding_learned(const MidiBindInfo& info);
    void next_midi_received(const MidiBindInfo& info);

    // --- engine thread

    // Runs until the engine is no longer ok: deletes released loops, executes
    // and deletes every queued request, passes control changes on to
    // subscribers, reports tempo changes and beats, answers MIDI learns and
    // sends the polled updates every 100 ms. The caller enters it again while
    // the engine lives (it returns at once while not ok).
    void mainloop();
    // Executes one request (it stays the caller's).
    bool process_nonrt_event(EventNonRT* event);

    // --- sessions: engine thread or the host's thread

    // Writes the whole state as a session document into *text (when given)
    // and into the file (when filename is not empty).
    bool save_session(const std::string& filename, std::string* text = nullptr);
    // Replaces every loop and the globals with those of the document in
    // *text (when given; filename then only names it in messages) or in the
    // file. A document that cannot be used whole changes nothing, and nor
    // does one whose loops do not fit beside the loops there now (once those
    // on their way out are gone: they are waited for, briefly).
    bool load_session(const std::string& filename, const std::string* text = nullptr);

    // --- engine thread (or the host's main thread): loops. None of these may be
    //     called with _instance_lock held.

    unsigned int loop_count();
    // The same count for any thread, the audio thread included: no lock.
    // It may be one change behind a list change in progress.
    unsigned int live_loop_count() const { return _loop_count.load(std::memory_order_relaxed); }

    // Builds a looper with the next index and copies loop 0's quantize, round
    // and relative-sync settings to it. Refused, with a message, when it
    // would take the loops past the memory budget or MaxLoops once the
    // loops on their way out are gone (they are waited for, briefly).
    // serial: the one reserved for it as its request was queued (0: a new one).
    bool add_loop(unsigned int channels, float loopsecs, bool discrete, uint32_t serial = 0);
    // Takes ownership of a looper built elsewhere (a restored session); a
    // refused one is deleted.
    bool add_loop(Looper* looper);
    // The bytes all loops together may hold ("QM_MEMORY_BUDGET" megabytes,
    // else a quarter of the machine's memory), and what they hold now, the
    // loops on their way out included.
    size_t memory_budget() const { return _memory_budget; }
    size_t memory_held();
    // An add request: 0 channels or 0 seconds take the defaults; absurd
    // values are refused with a message.
    bool add_loop_request(int channels, float secs, bool discrete, uint32_t serial = 0);
    // A remove request: index -1 means the last loop not already on its way
    // out and is written back (-1 when there is none). The loop keeps its
    // place (and is still counted) until the audio thread has let go of it;
    // a second removal of the same loop is ignored. True when the index names
    // a loop.
    bool remove_loop_request(int& index);
    // Every loop leaves the list at once and is handed to the audio thread
    // for removal (a session being replaced).
    void remove_all_loops();
    // Deletes the loopers the audio thread has handed back and hands over
    // changes that did not fit into the queue before; while no block runs,
    // takes the removals itself. Each pass of the main loop: the engine
    // thread alone frees loops, outside every lock, and says so through
    // LoopRemoved. Returns how many it freed. Allocates nothing, so that
    // loops are freed also when memory runs out (LoopRemoved is then not
    // told).
    size_t delete_released_loops();
    // How long the host may render no block before the engine side takes
    // the audio thread's part of loop removals itself: several of its
    // longest recent block periods (a host may split its period into blocks
    // of any size), and never less than a short minimum.
    std::chrono::steady_clock::duration audio_idle_after() const;

    // --- engine thread: global parameters ("dry", "wet", "input_gain",
    //     "sync_source", "tempo", "eighth_per_cycle")

    // False for an unknown name (value untouched).
    bool get_global_param(const std::string& name, float& value);
    // False for an unknown name or a refused value; nothing changes then.
    bool set_global_param(const std::string& name, float value);
    // Accepts a finite tempo above 0 whose quarter note lasts at least two
    // frames; the loopers get it at the start of the next block.
    bool set_tempo(double tempo);
    // After the sync source or the loop list changed; the audio thread
    // re-points the loopers at the start of the next block.
    void update_sync_source();
    // A loop's control (instance 0..count-1) or the engine's levels and
    // meters (instance -2); 0 otherwise.
    float get_control_value(Event::control_t ctrl, int8_t instance);

    // --- engine thread: what the main loop drains

    // The next queued request, now owned by the caller; null when none.
    EventNonRT* pop_nonrt_event();
    // The next update notice; false when none.
    bool pop_update_event(Event& ev);
    // Set by the audio thread, cleared by taking them.
    bool take_tempo_changed() { return _tempo_changed.exchange(false, std::memory_order_acq_rel); }
    bool take_beat_occurred() { return _beat_occurred.exchange(false, std::memory_order_acq_rel); }
    // The running frame of the last beat reported (what a beat notice carries).
    nframes_t get_beat_frame() const { return _beat_frame.load(std::memory_order_relaxed); }
    // Waits until woken or until the absolute wall-clock time; the result of
    // the timed wait (0 when woken, ETIMEDOUT). The audio thread never wakes
    // this wait (it would take a system call): the main loop polls its flags.
    int wait_for_event(const struct timespec& until);

    // Gives back a serial reserved for an add request as it was queued,
    // unless its loop took it: the events that wait for it reach no loop.
    // The request's end calls it.
    void give_up_serial(uint32_t serial);

    // The records each way between the engine side and the audio thread.
    static const size_t LoopManageQueueSize = 16;
    // Events the audio thread keeps for loops on their way in.
    static const size_t WaitingEvents = 256;

private:
    // What a non-audio thread asks the audio thread to apply to the live loops.
    enum RtRequest : uint32_t { ReqTempo = 1u, ReqEighths = 2u, ReqSyncSource = 4u };

    // Tapped or clocked beats in a row: each is measured from the one before,
    // except the first of a run, which only sets the phase.
    struct BeatRun {
        uint64_t last = 0;  // running frame of the last beat
        bool open = false;
    };

    // Walks the one or two pieces of a ring buffer's read region in order.
    struct EventCursor {
        RingBuffer<Event>::rw_vector vec;
        unsigned int piece = 0;
        size_t idx = 0;
        Event* peek();
        void next() { ++idx; }
        size_t total() const { return vec.len[0] + vec.len[1]; }
    };

    void free_buffers();
    bool tempo_in_range(double tempo) const;
    static bool eighth_in_range(float eighths);

    // Audio thread (or the engine side holding _rt_lock while no block
    // runs). Returns the records taken.
    size_t process_rt_loop_manage_events();
    // Counts the block and keeps the longest block of the last second or two.
    void note_block(nframes_t nframes);
    void rewire_sync(int source);
    int master_index() const;
    void run_loops(nframes_t offset, nframes_t nframes, int master, Event* ev);
    void do_global_rt_event(Event* ev, nframes_t offset, nframes_t nframes);
    void tap_tempo(nframes_t offset, nframes_t nframes);
    void prepare_buffers(nframes_t nframes);
    void fill_common_outs(nframes_t nframes);
    void calculate_tempo_frames();
    void calculate_midi_tick();
    void set_tempo_rt(double tempo);
    double avg_tempo(double tempo);
    void reset_avg_tempo(double tempo);
    void clear_avg_tempo();
    bool beat_tempo(BeatRun& run, uint64_t at, double& tempo);
    int generate_sync(nframes_t offset, nframes_t nframes);
    void generate_internal_sync(nframes_t offset, nframes_t nframes, int& hit);
    double pulse_counter(double period) const;
    void generate_midi_sync(nframes_t offset, nframes_t nframes, int& hit);
    void generate_transport_sync(nframes_t offset, nframes_t nframes, int& hit);
    void generate_master_sync(nframes_t offset, nframes_t nframes, int& hit);

    // Audio thread (under _rt_lock): an event for a loop that is not in
    // place yet but may come is kept for it (true: taken, or dropped for
    // want of room); those kept are delivered at the start of the block once
    // their loop is there, and dropped once it never will be.
    bool wait_for_loop(const Event& ev);
    void deliver_waiting(int master);
    bool in_place(uint32_t serial) const;
    // Engine thread: says on standard error how many events found no room to
    // wait for their loop since the last call.
    void report_dropped_waiting();

    // Non-audio side, with _instance_lock held.
    bool push_loop_manage_to_rt(LoopManageEvent& ev);
    bool push_loop_manage_to_main(LoopManageEvent& ev);
    void queue_to_rt(const LoopManageEvent& ev);
    void flush_to_rt_backlog();
    bool is_removing(Looper* looper) const;
    // Every looper the engine owns: listed, or handed over for removal.
    std::vector<Looper*> owned_loopers() const;
    // After reserve_list_room(0, 1).
    void queue_removal(Looper* looper);
    // Room in the lists for adds and removals to come, made before anything
    // changes: past it, nothing on their way allocates.
    void reserve_list_room(size_t adds, size_t removals);
    // Says why not on standard error.
    bool room_for_a_loop_locked() const;
    // Listed loops that are on their way out.
    size_t leaving_locked() const;
    // Owns looper from here on (a refused one is deleted). serial: reserved
    // for it (0: a new one).
    bool add_loop_locked(Looper* looper, int& index, uint32_t serial = 0);
    // The loopers the audio thread has handed back leave the lists for
    // out[n..max); returns the new n.
    size_t take_released_locked(Looper** out, size_t n, size_t max);
    bool audio_idle();
    std::chrono::duration<double> longest_block_period() const;
    // While no block runs: the audio thread's part of the removals, done here.
    size_t reclaim_locked(Looper** out, size_t n, size_t max);
    size_t memory_held_locked() const;
    // What the loops on their way out hold: handed over for removal, or being
    // freed.
    size_t outgoing_memory_locked() const;
    size_t loop_memory(unsigned int channels, float loopsecs) const;
    // With _session_lock held: whether need more bytes fit beside what is
    // held, once the loops on their way out are gone; waits for those (up
    // to outgoing_wait) where they make the difference, letting go of
    // _session_lock meanwhile. Says why not, and how to make room, on
    // standard error.
    // Also whether `loops` more fit beside the loops listed, counted the
    // same way.
    bool make_room(size_t need, const std::string& what, unsigned int loops = 0);
    std::chrono::steady_clock::duration outgoing_wait() const;
    bool on_engine_thread() const { return _engine_thread.load() == std::this_thread::get_id(); }
    static size_t memory_budget_from_environment();
    // add_loop(Looper*) for a caller that holds _session_lock.
    bool add_built_loop(Looper* looper);
    // The signals, told on; out of memory the news is lost, nothing else.
    void announce_added(int index, bool send_config);
    void announce_removed();
    // After every change of _instances: its count and serials for readers
    // without the lock; landed is a reserved serial the change listed.
    void count_loops(uint32_t landed = 0);
    // An add request's serial as it is queued (none when too many wait).
    void reserve_serial(EventNonRT* request);
    // With _serial_lock held.
    uint32_t draw_serial_locked();
    // After the queue towards the audio thread or the serials on their way
    // changed: what the audio thread may take as settled.
    void settle_serials_locked();
    // The serial an event for instance gets as it is queued (Event::Serial):
    // a listed loop's, or one reserved for a loop on its way to that place.
    // may_wait false: the MIDI path, which only tries the lock briefly and,
    // when it is busy, sees the listed loops alone.
    uint32_t serial_at(int8_t instance, bool may_wait);
    void request(uint32_t what) { _rt_requests.fetch_or(what, std::memory_order_acq_rel); }

    // The queue's next free slot, stamped for framepos (-1: now); null when
    // the queue is full. The caller fills it and publishes it.
    Event* claim_event(RingBuffer<Event>* queue, long framepos);
    bool do_push_command_event(RingBuffer<Event>* queue, Event::type_t type, Event::command_t cmd,
                               int8_t instance, uint32_t serial, long framepos);
    bool do_push_control_event(RingBuffer<Event>* queue, Event::type_t type, Event::control_t ctrl, float value,
                               int8_t instance, uint32_t serial, long framepos, int src);
    void wake_engine_thread(bool wait_for_lock);

    void send_update(int8_t instance, Event::control_t ctrl, float value, int source);
    void process_update_event(const Event& ev);
    void finish_midi_learning();
    void clear_flag(bool& flag);  // a learn flag, under _event_loop_lock
    void process_midi_binding_event(MidiBindingEvent& ev);
    void process_loop_file_event(LoopFileEvent& ev);
    void process_global_set(GlobalSetEvent& ev);
    std::vector<Looper*> loopers_at(int instance);
    // Says on standard error and the error channel which loops refused an
    // operation for lack of memory since the last pass.
    void report_memory_refusals();

    AudioDriver* _driver;
    ControlOSC* _osc;

    // The audio thread's list: only the audio thread reads or changes it
    // (and the set-up calls, while no block runs).
    std::vector<Looper*> _rt_instances;
    // The engine side's list, in index order; owning.
    std::vector<Looper*> _instances;
    // Owned loopers whose removal has been handed over (some of them still in
    // _instances); each is deleted exactly once, when it comes back.
    std::vector<Looper*> _removing;
    // Records that found the queue towards the audio thread full, in order.
    std::vector<LoopManageEvent> _to_rt_backlog;
    // Serialises the non-audio callers that change the lists above.
    Kvo::NonBlockingLock _instance_lock;
    // _instances.size(), kept under _instance_lock for readers without it.
    std::atomic<unsigned int> _loop_count;
    // The serial of each listed loop by index (0 past the last), and the
    // highest serial listed, for the producers; written under _instance_lock
    // and _serial_lock.
    std::atomic<uint32_t> _serials[MaxLoops];
    std::atomic<uint32_t> _last_serial;
    Kvo::NonBlockingLock _serial_lock;
    // Under _serial_lock: the last serial drawn, and those reserved for adds
    // not yet listed nor given up, in the order of their places.
    uint32_t _drawn_serial;
    uint32_t _reserved[MaxLoops];
    size_t _reserved_count;
    // Every serial up to this one has its loop in the queue towards the audio
    // thread (or beyond), or never will; an event for a later one that finds
    // no loop waits.
    std::atomic<uint32_t> _settled_serial;
    // Audio thread: the settled serial its loop list has caught up with, and
    // the events waiting for their loops, in arrival order.
    uint32_t _rt_settled;
    Event _waiting[WaitingEvents];
    size_t _waiting_count;
    std::atomic<uint32_t> _waiting_dropped;
    size_t _memory_budget;
    // The audio thread's loop work in a block; it only ever tries this lock.
    Kvo::NonBlockingLock _rt_lock;
    std::atomic<uint64_t> _blocks;  // blocks started
    // The longest block of the last one to two seconds of audio, and the
    // audio thread's own count towards it.
    std::atomic<nframes_t> _longest_block_frames;
    nframes_t _window_frames;
    nframes_t _window_longest;
    nframes_t _window_longest_before;
    // Under _instance_lock: the block count last seen and when it last moved.
    uint64_t _seen_blocks;
    std::chrono::steady_clock::time_point _blocks_moved_at;
    // Loopers taken off the lists and being deleted, still held in memory.
    std::atomic<size_t> _freeing_bytes;
    // Broadcast under _instance_lock once loopers are freed (steady clock).
    pthread_cond_t _freed_cond;
    // The thread in the main loop: the one that frees loops.
    std::atomic<std::thread::id> _engine_thread;
    RingBuffer<LoopManageEvent>* _loop_manage_to_rt_queue;
    RingBuffer<LoopManageEvent>* _loop_manage_to_main_queue;

    std::atomic<bool> _ignore_quit;  // read by the OSC thread's "/quit"
    std::atomic<bool> _ok;

    RingBuffer<Event>* _event_queue;
    RingBuffer<Event>* _midi_event_queue;
    RingBuffer<Event>* _sync_queue;
    RingBuffer<Event>* _nonrt_update_event_queue;
    // The sync and update queues have two writers (OSC and MIDI threads).
    Kvo::NonBlockingLock _sync_write_lock;
    Kvo::NonBlockingLock _update_write_lock;
    EventGenerator* _event_generator;
    RingBuffer<EventNonRT*>* _nonrt_event_queue;

    Kvo::NonBlockingLock _event_loop_lock;
    pthread_cond_t _event_cond;
    // Under _event_loop_lock: a wake-up that came while the engine thread was
    // not waiting is not lost.
    bool _wake_pending;

    MidiBridge* _midi_bridge;
    std::vector<sigc::connection> _bridge_connections;
    // Learn and get-next completions, under _event_loop_lock. Both can be
    // pending at once, so each has its own record and request.
    bool _learn_done;
    bool _received_done;
    MidiBindInfo _learninfo;
    MidiBindInfo _nextinfo;
    // Engine thread: the requests being answered.
    MidiBindingEvent _learn_event;
    MidiBindingEvent _next_event;

    // Serialises session loads and saves with loop additions and removals,
    // from the engine thread and the host's thread alike, so that a loop
    // added or removed meanwhile never lands inside a session being replaced.
    // Taken before _instance_lock; never on the audio thread.
    Kvo::NonBlockingLock _session_lock;

    int _def_channel_cnt;
    float _def_loop_secs;
    nframes_t _buffersize;
    double _samplerate;
    float* _internal_sync_buf;
    // Audio thread: the sync buffer has been cleared for a source that
    // writes no pulses, and nothing has written it since.
    bool _sync_buf_silent = false;

    // Written by the engine thread, applied by the audio thread.
    std::atomic<int> _sync_source;
    std::atomic<double> _tempo;
    std::atomic<float> _eighth_cycle;
    std::atomic<uint32_t> _rt_requests;
    // The sync source of the current block, read once at its start.
    int _rt_sync_source;

    std::vector<port_id_t> _common_inputs;  // 0 where the driver refused the port
    std::vector<port_id_t> _common_outputs;
    std::vector<float*> _common_input_buffers;  // the driver's, for the current block
    std::vector<float*> _common_output_buffers;
    std::vector<float*> _temp_input_buffers;
    std::vector<float*> _temp_output_buffers;
    // Cleared for a block in which the loopers can read and mix into the
    // driver's buffers directly: the input gain is steady at 1, every buffer
    // is there and no input shares memory with an output.
    bool _use_temp_input;

    std::atomic<float> _curr_common_dry, _target_common_dry;
    std::atomic<float> _curr_common_wet, _target_common_wet;
    std::atomic<float> _curr_input_gain, _target_input_gain;
    std::atomic<float> _common_input_peak, _common_output_peak;
    float _falloff_per_sample;

    double _tempo_frames;
    double _quarter_note_frames;
    double _quarter_counter;
    // Beats counted by the internal tempo since it began; with the quarter
    // counter, where its pulses stand.
    uint64_t _beat_count;
    uint32_t _midi_ticks;
    uint32_t _midi_loop_tick;
    // At full width: a gap between beats is measured across any pause.
    std::atomic<uint64_t> _running_frames;
    BeatRun _taps;
    BeatRun _midi_beats;
    std::atomic<bool> _tempo_changed;
    std::atomic<bool> _beat_occurred;
    std::atomic<nframes_t> _beat_frame;
    double _tempo_averages[TEMPO_WINDOW_SIZE];
    double _running_tempo_sum;
    uint32_t _avgindex;
    uint32_t _avgfilled;  // entries of the window that hold a measured beat

    bool _loading;
};

} // namespace Quillomat
