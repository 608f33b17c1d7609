#pragma once
// One loop track of N channels: one loop processor instance per channel, all
// driven through one shared control array, with rate change, sync, gains,
// meters, panning into the engine's common outputs, loop files and XML state.
//
// Threads
// -------
// Audio thread. Once the engine has added the looper to its list (the looper
// is live), the audio thread owns run, do_event, set_port, use_sync_buf,
// set_use_common_ins, set_use_common_outs, the control array `ports`, the
// gains, flags, rate clock and filters, the panner's positions, and
// requested_cmd / request_pending. Before the looper is live (while it is
// built on the engine or the host's thread) and after the engine has handed
// it back, the building thread may call these directly; initialize, destroy,
// set_state, set_buffer_size and get_panner belong to that thread alone.
//
// Any thread. get_control_value, get_state and memory_refusals read a
// snapshot that the audio thread publishes at the end of every run and after
// every do_event and set_port: single atomic values, at most one stretch old.
// It holds the controls, the processor's status outputs (ports 19..27),
// gains, flags, peaks, pan positions and the channel count. get_state also
// reads the panner, whose positions are atomic and whose layout changes only
// while the looper is not live. get_sync_out_buf's buffer stays put while the
// looper is live. emit_pending_signals runs, on any thread but the audio
// thread, the panner signals that pan moves on the audio path left pending.
//
// Changes from other threads. No other thread writes the looper's fields: a
// control change or command reaches the audio thread as an Event through the
// engine's queues, and do_event applies it there.
//
// Loop files (engine thread, one at a time, while the audio thread runs the
// looper). load_loop holds _loop_lock while it records the file and runs the
// processors on a control array of its own, so `ports` stays the audio
// thread's and a control change made during the load survives it; meanwhile
// run only passes the discrete input through. save_loop asks for the loop one
// chunk at a time, each into a buffer of its own: run copies a bounded piece
// of every channel at the same offsets in each stretch, and the save starts
// again when the loop of any channel changes version, so the file holds one
// version of the loop for all channels. When nothing picks a request up
// within a short bound (no audio thread runs the looper: tests, an engine not
// yet started), the save withdraws it and copies under _loop_lock itself. The
// file is written outside any lock. For neither does the audio thread wait
// for a lock or allocate.
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <ladspa.h>

#include "audio_driver.h"
#include "dsp.h"
#include "event.h"
#include "event_nonrt.h"
#include "lockmonitor.hpp"
#include "rate_clock.h"

class XMLNode;
struct sf_private_tag;

namespace Quillomat {

class OnePoleFilter;
class Panner;

class Looper {
public:
    enum ControlPort {
        TriggerThreshold = 0,
        DryLevel = 1,
        WetLevel = 2,
        Feedback = 3,
        Rate = 4,
        ScratchPosition = 5,
        Multi = 6,
        TapDelayTrigger = 7,
        UseFeedbackPlay = 8,
        Quantize = 9,
        Round = 10,
        RedoTap = 11,
        Sync = 12,
        UseRate = 13,
        FadeSamples = 14,
        TempoInput = 15,
        PlaybackSync = 16,
        EighthPerCycleLoop = 17,
        UseSafetyFeedback = 18,
        LASTCONTROLPORT = 19,
        RelativeSync = 20
    };

    static const double MinResamplingRate;
    static const double MaxResamplingRate;

    // Bounds on what a looper may be built with; anything else is refused
    // before a byte is allocated.
    static const unsigned int MaxChannels = 64;
    static const unsigned int MaxIndex = 127;  // loops are addressed by a signed byte
    static const float MaxLoopSecs;

    Looper(AudioDriver* driver, unsigned int index, unsigned int chan_count = 1, float loopsecs = 40.0f,
           bool discrete = true);
    Looper(AudioDriver* driver, XMLNode& node);
    ~Looper();

    Looper(const Looper&) = delete;
    Looper& operator=(const Looper&) = delete;

    // Releases whatever an earlier call built before building anew.
    bool initialize(unsigned int index, unsigned int chan_count = 1, float loopsecs = 40.0f, bool discrete = true);
    void destroy();

    bool operator()() const { return _ok; }
    unsigned int get_index() const { return _index; }

    // Audio thread: frames offset .. offset + nframes - 1 of the current block.
    void run(nframes_t offset, nframes_t nframes);

    // Audio thread, between two stretches of run.
    void do_event(Event* ev);
    void set_port(ControlPort port, float value);

    // Any thread, from the published snapshot.
    float get_control_value(Event::control_t control) const;
    // Operations the processors refused for lack of memory, over all channels.
    uint32_t memory_refusals() const;

    // Engine thread. Refusals since the last call, for the one thread that
    // reports them.
    uint32_t take_new_memory_refusals();
    bool load_loop(std::string filename);
    bool save_loop(std::string filename = "", LoopFileEvent::FileFormat format = LoopFileEvent::FormatFloat);

    // Any thread but the audio thread: runs the slots of pan moves made on
    // the audio path.
    void emit_pending_signals();

    XMLNode* get_state() const;
    int set_state(const XMLNode& node);
    // What a looper built from a "Looper" element would be, checked as the
    // XML constructor checks it: false, with a message, when the element
    // would be refused. Nothing is built.
    static bool check_state(const XMLNode& node, unsigned int& chan_count, float& loopsecs);
    // What a loop keeps of a control set to value, in value; false for a set
    // that changes nothing in a loop (its outputs, the engine's controls,
    // the processor's command port, NaN or infinity).
    static bool keeps(Event::control_t control, float& value);
    // The same for this loop, which also has no pan for a channel it lacks.
    // Any thread.
    bool takes(Event::control_t control, float& value) const;

    // The engine's number for this looper, unique while the engine lives (0
    // until it is added); set before the looper is live.
    uint32_t serial() const { return _serial; }
    void set_serial(uint32_t serial) { _serial = serial; }
    // The XML constructor's element was refused: the looper runs on the
    // fallback configuration instead.
    bool state_refused() const { return _state_refused; }

    // Bytes of loop memory and block buffers a looper of this size holds.
    static size_t memory_bytes(unsigned int chan_count, float loopsecs, nframes_t srate, nframes_t bufsize);
    // What this looper holds by that rule since it was built; 0 before.
    size_t memory_bytes() const { return _memory_bytes; }

    // Building thread: to connect listeners to the panner's signals (null
    // when the engine has fewer than two common outputs).
    Panner* get_panner() { return _panner; }

    float* get_sync_out_buf() { return _our_syncout_buf; }
    // Null follows the looper's own sync input.
    void use_sync_buf(float* buf);

    void set_buffer_size(nframes_t bufsize);

    void set_use_common_ins(bool val);
    void set_use_common_outs(bool val);

private:
    static const int ControlCount = 28;  // processor control ports 0..27
    static const int PublishedPans = 4;  // PanChannel1..4

    // Building.
    void reset_fields(unsigned int index, unsigned int chan_count, bool discrete);
    bool build_descriptor();
    void build_arrays();
    void set_control_defaults(nframes_t srate);
    bool build_instances(nframes_t srate, float loopsecs);
    void register_ports();
    void connect_controls(unsigned int c, LADSPA_Data* controls, LADSPA_Data* slave_sync, LADSPA_Data* sink);
    void build_filters();
    void build_panner();
    void resize_buffers(nframes_t bufsize);
    static bool validate_config(long long index, long long chan_count, double loopsecs);
    // The configuration an element names, over the values given; false
    // (with a message) when it is refused.
    static bool read_config(const XMLNode& node, long long& index, long long& chan_count, double& loopsecs,
                            bool& discrete);
    static bool memory_fits(unsigned int chan_count, float loopsecs, nframes_t srate, nframes_t bufsize);
    // Block processing. At rate 1 with nothing late the processors run on
    // the block's frames; otherwise on the loop frames the clock plans, with
    // the stretch's level ramps; pan says whether the panner can take the
    // common outputs.
    void run_loops(nframes_t offset, nframes_t nframes, const dsp::LinearRamp& gain, const dsp::LinearRamp& dry,
                   bool pan);
    void run_loops_clocked(nframes_t offset, nframes_t nframes, const dsp::LinearRamp& gain,
                           const dsp::LinearRamp& dry, bool pan);
    // Channel c's processor at rate 1, from loop_in into out (the master's
    // with the sync signals).
    void run_direct(unsigned int c, float* loop_in, float* out, float* sync_in, float* sync_out, nframes_t nframes);
    // The low-pass below rate 1 over channel c's output, as much of it as the
    // clock says.
    void low_pass(unsigned int c, float* out, nframes_t n);
    // Channel c's buffer of loop frames: the last two made, then room for a
    // stretch's.
    float* loop_frames(unsigned int c) { return _loop_bufs + (size_t)c * _loop_len; }
    void pass_through(nframes_t offset, nframes_t nframes);
    void deliver_command();
    void fall_meters(nframes_t nframes);

    // Loop input of channel c for this stretch (null when it has none); sets
    // input to the raw discrete input and output to where the processor
    // writes, and raises the input peak.
    float* prepare_channel(unsigned int c, nframes_t offset, nframes_t nframes, const dsp::LinearRamp& gain,
                           float*& input, float*& output);
    // Whether channel c has a loop input in this stretch.
    bool has_loop_input(unsigned int c);
    // Points _common_out_bufs at this stretch; true when the panner can take them.
    bool take_common_outs(nframes_t offset);
    void bind_audio(unsigned int c, float* in, float* out, float* sync_in, float* sync_out);
    void finish_channel(unsigned int c, float* input, float* output, nframes_t nframes, const dsp::LinearRamp& dry,
                        bool pan);
    void guard_common_outs(nframes_t nframes);
    void end_ramps(const dsp::LinearRamp& gain, const dsp::LinearRamp& dry);
    void silence_sync_out(nframes_t offset, nframes_t nframes);

    int restore_state(const XMLNode& node);

    // Control changes as they arrive from clients or a restored state.
    void apply_control(Event::control_t control, float& value);
    void set_rate_ratio(float value);

    // The snapshot other threads read.
    void publish();
    void publish_config();

    // Loop files.
    int copy_chunk(float* buf, nframes_t chunk, nframes_t offset, uint64_t& quiet_runs);
    // offset 0 starts a block and with it a new copying budget.
    void serve_save(nframes_t offset);
    int copy_save_piece(nframes_t limit, bool fresh);
    bool record_file(sf_private_tag* sf, unsigned int file_chans, nframes_t frames, nframes_t block,
                     float* interleaved, float* chanbufs);

public:
    int requested_cmd = 0;

private:
    AudioDriver* _driver = nullptr;
    port_id_t* _input_ports = nullptr;
    port_id_t* _output_ports = nullptr;
    unsigned int _index = 0;
    uint32_t _serial = 0;
    unsigned int _chan_count = 0;
    unsigned int _built_chans = 0;  // entries in the per-channel arrays
    LADSPA_Handle* _instances = nullptr;
    float _loopsecs = 40.0f;
    const LADSPA_Descriptor* descriptor = nullptr;
    LADSPA_Data ports[ControlCount] = {};

    float _curr_dry = 1.0f, _target_dry = 1.0f;
    float _curr_input_gain = 1.0f, _targ_input_gain = 1.0f;
    bool _relative_sync = false;

    // 64 bits: a 32-bit count wraps after a day at 48 kHz.
    uint64_t _down_stamps[Event::LAST_COMMAND + 1] = {};
    uint64_t _longpress_frames = 0;
    uint64_t _running_frames = 0;

    nframes_t _buffersize = 0;
    float* _our_syncin_buf = nullptr;
    float* _our_syncout_buf = nullptr;
    float* _use_sync_buf = nullptr;
    float* _dummy_buf = nullptr;
    float* _tmp_io_buf = nullptr;
    bool _sync_out_silent = true;  // no pulse in _our_syncout_buf

    Panner* _panner = nullptr;
    // The common output buffers of the current stretch, handed to the panner.
    float** _common_out_bufs = nullptr;
    unsigned int _common_out_count = 0;

    float _input_peak = 0.0f, _output_peak = 0.0f;
    float _falloff_per_sample = 0.0f;
    nframes_t _fall_frames = 0;       // stretch length _fall_factor is for
    float _fall_factor = 1.0f;        // peak factor of 30 dB/s over it
    LADSPA_Data _slave_sync_port = 1.0f;
    LADSPA_Data _slave_dummy_port = 0.0f;

    bool _use_common_ins = true;
    bool _use_common_outs = true;
    bool _have_discrete_io = false;

    // Where the loop is at its rate, and the loop frames each channel made
    // last; a stretch's loop-rate sync signal.
    RateClock _clock;
    float* _loop_bufs = nullptr;
    nframes_t _loop_len = 0;
    float* _loop_sync = nullptr;
    float* _filter_buf = nullptr;  // the low-pass's output while it fades
    double _src_in_ratio = 1.0;
    double _filter_ratio = 1.0;  // the rate the low-pass's cutoff is for

    OnePoleFilter** _lp_filter = nullptr;
    float _samplerate = 0.0f;

    // Audio buffers last bound to each processor, so unchanged ones are not
    // bound again. Touched only under _loop_lock.
    struct BoundAudio {
        float* in;
        float* out;
        float* sync_in;
        float* sync_out;
    };
    BoundAudio* _bound = nullptr;

    // The last loop input each channel took, for the next stretch's
    // interpolation.
    float* _last_in = nullptr;

    bool _ok = false;
    bool _state_refused = false;
    size_t _memory_bytes = 0;

public:
    bool request_pending = false;

private:
    Kvo::NonBlockingLock _loop_lock;
    std::mutex _file_lock;  // one load or save at a time; never the audio thread's
    uint32_t _refusals_reported = 0;  // engine thread

    struct Published {
        std::atomic<float> ports[ControlCount];  // DryLevel holds the current dry level
        std::atomic<float> input_gain;
        std::atomic<float> in_peak;
        std::atomic<float> out_peak;
        std::atomic<float> pan[PublishedPans];
        std::atomic<bool> use_common_ins;
        std::atomic<bool> use_common_outs;
        std::atomic<bool> discrete_io;
        std::atomic<bool> relative_sync;
        std::atomic<unsigned int> chan_count;
        std::atomic<uint32_t> memory_refusals;
        std::atomic<uint64_t> runs;  // stretches run so far
    };
    Published _pub = {};

    // A save's request to the audio thread: one chunk of the loop at a time.
    struct SaveCopy {
        enum State { Idle, Posted, Taken, Copying, ChunkDone, Changed };
        std::atomic<int> state{Idle};
        // Set by the saving thread before posting.
        float* buf = nullptr;  // channel c at c x chunk
        nframes_t chunk = 0;
        nframes_t offset = 0;
        // Kept by whoever holds the request (state Copying).
        nframes_t frames = 0;  // the loop's length, fixed by the first chunk
        nframes_t done = 0;
        const void* version[MaxChannels] = {};
        uint32_t start[MaxChannels] = {};
    };
    SaveCopy _save;
    nframes_t _save_budget = 0;  // audio thread: samples still to copy in this block
};

} // namespace Quillomat
