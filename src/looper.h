#pragma once
// One loop track of N channels: one loop processor instance per channel, all
// driven through one shared control array, with rate change, sync, gains,
// meters, panning into the engine's common outputs, loop files and XML state.
#include <string>

#include <ladspa.h>
#include <samplerate.h>

#include "audio_driver.h"
#include "event.h"
#include "event_nonrt.h"
#include "lockmonitor.hpp"

class XMLNode;

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
    static const int SrcAudioQuality;

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
    float get_control_value(Event::control_t control) const;

    // Engine thread.
    bool load_loop(std::string filename);
    bool save_loop(std::string filename = "", LoopFileEvent::FileFormat format = LoopFileEvent::FormatFloat);

    XMLNode* get_state() const;
    int set_state(const XMLNode& node);

    float* get_sync_out_buf() { return _our_syncout_buf; }
    // Null follows the looper's own sync input.
    void use_sync_buf(float* buf);

    void set_buffer_size(nframes_t bufsize);

    void set_use_common_ins(bool val) { _use_common_ins = val; }
    void set_use_common_outs(bool val) { _use_common_outs = val; }

private:
    void run_loops(nframes_t offset, nframes_t nframes);
    void run_loops_resampled(nframes_t offset, nframes_t nframes);
    void pass_through(nframes_t offset, nframes_t nframes);

    // A level ramp over one stretch, ending on its target at the last frame.
    struct Ramp {
        float start;
        float step;
        float target;
    };
    static Ramp make_ramp(float start, float target, nframes_t nframes);

    // Loop input of channel c for this stretch (null when it has none); sets
    // output to where the processor writes.
    float* prepare_channel(unsigned int c, nframes_t offset, nframes_t nframes, const Ramp& gain, float*& input,
                           float*& output);
    // Points _common_out_bufs at this stretch; true when the panner can take them.
    bool take_common_outs(nframes_t offset);
    void finish_channel(unsigned int c, float* input, float* output, nframes_t nframes, const Ramp& dry, bool pan);
    void end_ramps(const Ramp& gain, const Ramp& dry);

    // Control changes as they arrive from clients or a restored state.
    void apply_control(Event::control_t control, float& value);
    void set_rate_ratio(float value);

    bool validate_config(long long index, long long chan_count, double loopsecs) const;

    static void compute_peak(const float* buf, nframes_t n, float& peak);
    static float fall_off(float peak, float db_drop);

public:
    int requested_cmd = 0;

private:
    AudioDriver* _driver = nullptr;
    port_id_t* _input_ports = nullptr;
    port_id_t* _output_ports = nullptr;
    unsigned int _index = 0;
    unsigned int _chan_count = 0;
    unsigned int _built_chans = 0;  // entries in the per-channel arrays
    LADSPA_Handle* _instances = nullptr;
    float _loopsecs = 40.0f;
    const LADSPA_Descriptor* descriptor = nullptr;
    static const int ControlCount = 28;  // processor control ports 0..27
    LADSPA_Data ports[ControlCount] = {};

    float _curr_dry = 1.0f, _target_dry = 1.0f;
    float _curr_input_gain = 1.0f, _targ_input_gain = 1.0f;
    bool _relative_sync = false;

    nframes_t _down_stamps[Event::LAST_COMMAND + 1] = {};
    nframes_t _longpress_frames = 0;
    nframes_t _running_frames = 0;

    nframes_t _buffersize = 0;
    float* _our_syncin_buf = nullptr;
    float* _our_syncout_buf = nullptr;
    float* _use_sync_buf = nullptr;
    float* _dummy_buf = nullptr;
    float* _tmp_io_buf = nullptr;

    Panner* _panner = nullptr;
    // The common output buffers of the current stretch, handed to the panner.
    float** _common_out_bufs = nullptr;
    unsigned int _common_out_count = 0;

    float _input_peak = 0.0f, _output_peak = 0.0f;
    float _falloff_per_sample = 0.0f;
    LADSPA_Data _slave_sync_port = 1.0f;
    LADSPA_Data _slave_dummy_port = 0.0f;

    bool _use_common_ins = true;
    bool _use_common_outs = true;
    bool _have_discrete_io = false;

    SRC_STATE** _in_src_states = nullptr;
    SRC_STATE** _out_src_states = nullptr;
    SRC_STATE* _insync_src_state = nullptr;
    SRC_STATE* _outsync_src_state = nullptr;
    float* _src_in_buffer = nullptr;
    float* _src_sync_buffer = nullptr;
    nframes_t _src_buffer_len = 0;
    double _src_in_ratio = 1.0, _src_out_ratio = 1.0;
    SRC_DATA _src_data = {};

    OnePoleFilter** _lp_filter = nullptr;
    float _samplerate = 0.0f;

    bool _ok = false;

public:
    bool request_pending = false;

private:
    Kvo::NonBlockingLock _loop_lock;
};

} // namespace Quillomat
