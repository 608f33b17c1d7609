#include "looper.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "engine.h"
#include "onepole_filter.h"
#include "panner.h"
#include "quillomat.h"
#include "utils.h"

namespace Quillomat {

const double Looper::MinResamplingRate = 0.25;
const double Looper::MaxResamplingRate = 4.0;
const int Looper::SrcAudioQuality = SRC_LINEAR;
const float Looper::MaxLoopSecs = 3600.0f;

namespace {

// Value of a linear ramp from start towards target at frame j of n: one step
// of (target - start) / n per frame, landing exactly on target at the last.
inline float ramp_at(float start, float step, float target, nframes_t j, nframes_t n)
{
    return (j + 1 >= n) ? target : start + (float)(j + 1) * step;
}

inline float ramp_step(float start, float target, nframes_t n)
{
    return n ? flush_to_zero(target - start) / (float)n : 0.0f;
}

template <class T> void free_array(T*& p)
{
    delete[] p;
    p = nullptr;
}

// A zeroed buffer of n samples in place of the old one.
void renew_buffer(float*& p, nframes_t n)
{
    delete[] p;
    p = new float[n]();
}

// Samples from..to-1 of buf become silence.
inline void silence(float* buf, nframes_t from, nframes_t to)
{
    if (from < to) {
        std::memset(buf + from, 0, (to - from) * sizeof(float));
    }
}

// One pass of a rate converter through the shared record: the frames it
// wrote (0 when it failed); used, when asked for, gets the input frames taken.
nframes_t convert(SRC_STATE* state, SRC_DATA& d, const float* in, nframes_t in_frames, float* out,
                  nframes_t out_frames, double ratio, nframes_t* used = nullptr)
{
    d.data_in = in;
    d.input_frames = in_frames;
    d.data_out = out;
    d.output_frames = out_frames;
    d.src_ratio = ratio;
    d.end_of_input = 0;
    d.input_frames_used = 0;
    d.output_frames_gen = 0;
    if (src_process(state, &d) != 0) {
        return 0;
    }
    if (used) {
        *used = (nframes_t)d.input_frames_used;
    }
    return (nframes_t)d.output_frames_gen;
}

} // namespace

Looper::Looper(AudioDriver* driver, unsigned int index, unsigned int chan_count, float loopsecs, bool discrete)
    : _driver(driver), _index(index), _chan_count(chan_count), _loopsecs(loopsecs)
{
    initialize(index, chan_count, loopsecs, discrete);
}

Looper::~Looper()
{
    destroy();
    if (descriptor) {
        cleanup_qm_descriptor(const_cast<LADSPA_Descriptor*>(descriptor));
        descriptor = nullptr;
    }
}

bool Looper::validate_config(long long index, long long chan_count, double loopsecs) const
{
    if (chan_count < 1 || chan_count > (long long)MaxChannels) {
        std::cerr << "loop channel count out of range (1.." << MaxChannels << "): " << chan_count << std::endl;
        return false;
    }
    if (index < 0 || index > (long long)MaxIndex) {
        std::cerr << "loop index out of range (0.." << MaxIndex << "): " << index << std::endl;
        return false;
    }
    if (!std::isfinite(loopsecs) || loopsecs <= 0.0 || loopsecs > MaxLoopSecs) {
        std::cerr << "loop length out of range (above 0, at most " << MaxLoopSecs << " seconds): " << loopsecs
                  << std::endl;
        return false;
    }
    return true;
}

bool Looper::initialize(unsigned int index, unsigned int chan_count, float loopsecs, bool discrete)
{
    if (!_driver) {
        std::cerr << "cannot create a loop without an audio driver" << std::endl;
        return false;
    }
    if (!validate_config(index, chan_count, loopsecs)) {
        return false;
    }
    const nframes_t srate = _driver->get_samplerate();
    const nframes_t bufsize = _driver->get_buffersize();
    if (srate == 0 || bufsize == 0) {
        std::cerr << "audio driver reports no sample rate or block size" << std::endl;
        return false;
    }

    // Whatever an earlier initialisation built goes first.
    destroy();

    _index = index;
    _chan_count = chan_count;
    _ok = false;
    request_pending = false;
    requested_cmd = 0;
    _running_frames = 0;
    _buffersize = 0;
    _use_sync_buf = nullptr;
    _use_common_ins = true;
    _use_common_outs = true;
    _have_discrete_io = discrete;
    _curr_dry = _target_dry = 1.0f;
    _curr_input_gain = _targ_input_gain = 1.0f;
    _input_peak = _output_peak = 0.0f;
    _relative_sync = false;

    if (!descriptor) {
        descriptor = create_qm_descriptor();
        if (!descriptor) {
            std::cerr << "cannot create the loop processor descriptor" << std::endl;
            return false;
        }
    }

    _built_chans = _chan_count;
    _instances = new LADSPA_Handle[_chan_count]();
    _input_ports = new port_id_t[_chan_count]();
    _output_ports = new port_id_t[_chan_count]();
    _in_src_states = new SRC_STATE*[_chan_count]();
    _out_src_states = new SRC_STATE*[_chan_count]();
    _lp_filter = new OnePoleFilter*[_chan_count]();

    int err = 0;
    _insync_src_state = src_new(SrcAudioQuality, 1, &err);
    _outsync_src_state = src_new(SrcAudioQuality, 1, &err);
    _src_in_buffer = nullptr;
    _src_sync_buffer = nullptr;
    _src_buffer_len = 0;
    _src_in_ratio = 1.0;
    _src_out_ratio = 1.0;
    std::memset(&_src_data, 0, sizeof(_src_data));

    _samplerate = (float)srate;
    set_buffer_size(bufsize);

    std::memset(ports, 0, sizeof(ports));
    std::memset(_down_stamps, 0, sizeof(_down_stamps));

    _longpress_frames = (nframes_t)lrint((double)srate);
    _falloff_per_sample = 30.0f / _samplerate;

    ports[DryLevel] = 0.0f;  // the looper mixes the dry signal itself
    ports[WetLevel] = 1.0f;
    ports[Feedback] = 1.0f;
    ports[Rate] = 1.0f;
    ports[Multi] = -1.0f;
    ports[Quantize] = 0.0f;
    ports[Sync] = 0.0f;
    ports[UseRate] = 0.0f;
    ports[FadeSamples] = 64.0f;
    ports[PlaybackSync] = 0.0f;
    ports[UseSafetyFeedback] = 1.0f;
    _slave_sync_port = 1.0f;

    char secs[20];
    snprintf(secs, sizeof(secs), "%f", (double)loopsecs);
    setenv("QM_SAMPLE_TIME", secs, 1);

    char name[100];
    for (unsigned int c = 0; c < _chan_count; ++c) {
        _instances[c] = descriptor->instantiate(descriptor, srate);
        if (!_instances[c]) {
            return false;
        }

        if (_have_discrete_io) {
            snprintf(name, sizeof(name), "loop%d_in_%d", (int)_index, (int)c + 1);
            if (!_driver->create_input_port(name, _input_ports[c])) {
                _input_ports[c] = 0;
                std::cerr << "cannot register loop input port" << std::endl;
                _have_discrete_io = false;
            }
            snprintf(name, sizeof(name), "loop%d_out_%d", (int)_index, (int)c + 1);
            if (!_driver->create_output_port(name, _output_ports[c])) {
                _output_ports[c] = 0;
                std::cerr << "cannot register loop output port" << std::endl;
                _have_discrete_io = false;
            }
        }

        for (int p = 0; p < ControlCount; ++p) {
            descriptor->connect_port(_instances[c], p, &ports[p]);
        }
        if (c > 0) {
            // Only channel 0 reports status; the others follow its sync output.
            descriptor->connect_port(_instances[c], QM_SYNC_MODE, &_slave_sync_port);
            for (int p = QM_STATE_OUT; p <= QM_TRUE_RATE_OUT; ++p) {
                descriptor->connect_port(_instances[c], p, &_slave_dummy_port);
            }
        }

        if (descriptor->activate) {
            descriptor->activate(_instances[c]);
        }

        _lp_filter[c] = new OnePoleFilter(_samplerate);
        _in_src_states[c] = src_new(SrcAudioQuality, 1, &err);
        _out_src_states[c] = src_new(SrcAudioQuality, 1, &err);
        _lp_filter[c]->set_cutoff(_lp_filter[c]->get_samplerate() * (float)_src_in_ratio * 0.48f);
    }

    Engine* engine = _driver->get_engine();
    _common_out_count = engine ? engine->get_common_output_count() : 0;
    if (_common_out_count > 0) {
        _common_out_bufs = new float*[_common_out_count]();
    }
    if (_common_out_count > 1) {
        _panner = new Panner("pan");
        _panner->reset(_common_out_count, _chan_count);
        if (_chan_count == 1 && _panner->size() == 1) {
            (*_panner)[0]->set_position(0.5f, false);
        } else if (_chan_count == 2 && _panner->size() == 2) {
            (*_panner)[0]->set_position(0.0f, false);
            (*_panner)[1]->set_position(1.0f, false);
        }
    }

    _ok = true;
    return true;
}

void Looper::destroy()
{
    _ok = false;

    for (unsigned int c = 0; c < _built_chans; ++c) {
        if (_instances && _instances[c]) {
            if (descriptor->deactivate) {
                descriptor->deactivate(_instances[c]);
            }
            if (descriptor->cleanup) {
                descriptor->cleanup(_instances[c]);
            }
            _instances[c] = nullptr;
        }
        if (_input_ports && _input_ports[c]) {
            _driver->destroy_input_port(_input_ports[c]);
            _input_ports[c] = 0;
        }
        if (_output_ports && _output_ports[c]) {
            _driver->destroy_output_port(_output_ports[c]);
            _output_ports[c] = 0;
        }
        if (_out_src_states && _out_src_states[c]) {
            src_delete(_out_src_states[c]);
        }
        if (_in_src_states && _in_src_states[c]) {
            src_delete(_in_src_states[c]);
        }
        if (_lp_filter) {
            delete _lp_filter[c];
        }
    }
    _built_chans = 0;

    free_array(_instances);
    free_array(_input_ports);
    free_array(_output_ports);
    free_array(_lp_filter);

    const bool own_sync = _use_sync_buf == _our_syncin_buf;
    free_array(_our_syncin_buf);
    free_array(_our_syncout_buf);
    free_array(_dummy_buf);
    free_array(_tmp_io_buf);
    if (own_sync) {
        _use_sync_buf = nullptr;
    }
    _buffersize = 0;

    delete _panner;
    _panner = nullptr;
    free_array(_common_out_bufs);
    _common_out_count = 0;

    free_array(_in_src_states);
    free_array(_out_src_states);
    if (_insync_src_state) {
        src_delete(_insync_src_state);
        _insync_src_state = nullptr;
    }
    if (_outsync_src_state) {
        src_delete(_outsync_src_state);
        _outsync_src_state = nullptr;
    }
    free_array(_src_in_buffer);
    free_array(_src_sync_buffer);
    _src_buffer_len = 0;
}

void Looper::use_sync_buf(float* buf)
{
    _use_sync_buf = buf ? buf : _our_syncin_buf;
}

void Looper::set_buffer_size(nframes_t bufsize)
{
    if (bufsize == _buffersize) {
        return;
    }
    const bool repoint = !_use_sync_buf || _use_sync_buf == _our_syncin_buf;
    const nframes_t maxlen = (nframes_t)std::ceil(bufsize * MaxResamplingRate);

    // Zeroed: another loop may read our sync output before channel 0 runs.
    renew_buffer(_our_syncin_buf, bufsize);
    renew_buffer(_our_syncout_buf, bufsize);
    renew_buffer(_dummy_buf, maxlen);
    renew_buffer(_tmp_io_buf, bufsize);
    if (repoint) {
        _use_sync_buf = _our_syncin_buf;
    }

    _src_buffer_len = maxlen;
    renew_buffer(_src_in_buffer, _src_buffer_len);
    renew_buffer(_src_sync_buffer, _src_buffer_len);

    _buffersize = bufsize;
}

// ---------------------------------------------------------------------------
// Block processing

void Looper::compute_peak(const float* buf, nframes_t n, float& peak)
{
    float p = peak;
    for (nframes_t i = 0; i < n; ++i) {
        p = f_max(p, fabsf(buf[i]));
    }
    peak = p;
}

float Looper::fall_off(float peak, float db_drop)
{
    if (!(peak > 0.0f)) {
        return 0.0f;
    }
    const float db = 20.0f * log10f(peak) - db_drop;
    float p = db > -90.0f ? powf(10.0f, db * 0.05f) : 0.0f;
    // Not f_clamp: its sums round a small peak to a multiple of about 2e-6,
    // and a meter near -85 dB would then never fall any further.
    p = p < 20.0f ? p : 20.0f;
    return flush_to_zero(p);
}

void Looper::pass_through(nframes_t offset, nframes_t nframes)
{
    if (!_have_discrete_io || !_input_ports || !_output_ports) {
        return;
    }
    const float gain = _curr_dry * _curr_input_gain;
    for (unsigned int c = 0; c < _built_chans; ++c) {
        if (!_input_ports[c] || !_output_ports[c]) {
            continue;
        }
        float* in = _driver->get_input_port_buffer(_input_ports[c], _buffersize);
        float* out = _driver->get_output_port_buffer(_output_ports[c], _buffersize);
        if (!in || !out) {
            continue;
        }
        in += offset;
        out += offset;
        for (nframes_t j = 0; j < nframes; ++j) {
            out[j] = flush_to_zero(in[j] * gain);
        }
    }
}

void Looper::run(nframes_t offset, nframes_t nframes)
{
    Kvo::TentativeLockMonitor lm(_loop_lock, __LINE__, __FILE__);
    if (!_ok) {
        return;
    }
    // Never past the buffers sized for the block.
    if (offset > _buffersize) {
        return;
    }
    if (nframes > _buffersize - offset) {
        nframes = _buffersize - offset;
    }

    if (!lm.locked()) {
        // A file load owns the processors.
        pass_through(offset, nframes);
        return;
    }

    _running_frames += nframes;

    if (!request_pending) {
        if (ports[Multi] >= 0.0f) {
            ports[Multi] = -1.0f;
        }
    } else if (ports[Multi] == (float)requested_cmd) {
        // The processor must see a change: one stretch at -1 first.
        ports[Multi] = -1.0f;
    } else {
        ports[Multi] = (float)requested_cmd;
        request_pending = false;
    }

    const float user_sync = ports[Sync];
    if (_use_sync_buf == _our_syncin_buf || _use_sync_buf == _our_syncout_buf) {
        ports[Sync] = 0.0f;
    } else if (_relative_sync && ports[Sync] > 0.0f) {
        ports[Sync] = 2.0f;
    }

    const float drop = (float)nframes * _falloff_per_sample;
    _input_peak = fall_off(_input_peak, drop);
    _output_peak = fall_off(_output_peak, drop);

    if (ports[Rate] == 1.0f) {
        run_loops(offset, nframes);
    } else {
        run_loops_resampled(offset, nframes);
    }

    ports[Sync] = user_sync;
}

float* Looper::prepare_channel(unsigned int c, nframes_t offset, nframes_t nframes, const Ramp& gain,
                               float*& input, float*& output)
{
    input = nullptr;
    output = _tmp_io_buf;
    if (_have_discrete_io) {
        if (_input_ports[c]) {
            float* b = _driver->get_input_port_buffer(_input_ports[c], _buffersize);
            input = b ? b + offset : nullptr;
        }
        if (_output_ports[c]) {
            float* b = _driver->get_output_port_buffer(_output_ports[c], _buffersize);
            if (b) {
                output = b + offset;
            }
        }
    }

    float* tmp = _tmp_io_buf;

    if (!_use_common_ins && _have_discrete_io && input) {
        for (nframes_t j = 0; j < nframes; ++j) {
            tmp[j] = ramp_at(gain.start, gain.step, gain.target, j, nframes) * input[j];
        }
        return tmp;
    }

    Engine* engine = _driver->get_engine();
    float* common = engine ? engine->get_common_input_buffer(c) : nullptr;
    if (!common) {
        return input;
    }
    common += offset;
    if (input) {
        for (nframes_t j = 0; j < nframes; ++j) {
            tmp[j] = ramp_at(gain.start, gain.step, gain.target, j, nframes) * (input[j] + common[j]);
        }
    } else {
        for (nframes_t j = 0; j < nframes; ++j) {
            tmp[j] = ramp_at(gain.start, gain.step, gain.target, j, nframes) * common[j];
        }
    }
    return tmp;
}

bool Looper::take_common_outs(nframes_t offset)
{
    Engine* engine = _driver->get_engine();
    bool all = _common_out_count > 0;
    for (unsigned int k = 0; k < _common_out_count; ++k) {
        float* b = engine ? engine->get_common_output_buffer(k) : nullptr;
        _common_out_bufs[k] = b ? b + offset : nullptr;
        all = all && b;
    }
    // The panner writes one buffer per output it holds.
    return all && _panner && _panner->outputs.size() == _common_out_count;
}

void Looper::finish_channel(unsigned int c, float* input, float* output, nframes_t nframes, const Ramp& dry,
                            bool pan)
{
    if (pan && _use_common_outs && c < _panner->size()) {
        (*_panner)[c]->distribute(output, _common_out_bufs, 1.0f, nframes);
    }

    if (_have_discrete_io && input) {
        for (nframes_t j = 0; j < nframes; ++j) {
            output[j] += ramp_at(dry.start, dry.step, dry.target, j, nframes) * input[j];
        }
    }

    compute_peak(output, nframes, _output_peak);
}

Looper::Ramp Looper::make_ramp(float start, float target, nframes_t nframes)
{
    Ramp r;
    r.start = start;
    r.target = target;
    r.step = ramp_step(start, target, nframes);
    return r;
}

void Looper::end_ramps(const Ramp& gain, const Ramp& dry)
{
    // Every ramp of the stretch ended on its target; with none run, the
    // target is taken all the same so the user's setting is what we report.
    _curr_input_gain = flush_to_zero(gain.target);
    _curr_dry = flush_to_zero(dry.target);
}

void Looper::run_loops(nframes_t offset, nframes_t nframes)
{
    // Targets may change from another thread: the stretch keeps one view.
    const Ramp gain = make_ramp(_curr_input_gain, _targ_input_gain, nframes);
    const Ramp dry = make_ramp(_curr_dry, _target_dry, nframes);

    const bool pan = take_common_outs(offset);

    bool master_ran = false;
    for (unsigned int c = 0; c < _built_chans; ++c) {
        float* input;
        float* output;
        float* loop_in = prepare_channel(c, offset, nframes, gain, input, output);
        if (!loop_in) {
            continue;
        }
        compute_peak(loop_in, nframes, _input_peak);

        LADSPA_Handle inst = _instances[c];
        descriptor->connect_port(inst, QM_INPUT, loop_in);
        descriptor->connect_port(inst, QM_OUTPUT, output);
        if (c == 0) {
            descriptor->connect_port(inst, QM_SYNC_INPUT, _use_sync_buf + offset);
            descriptor->connect_port(inst, QM_SYNC_OUTPUT, _our_syncout_buf + offset);
            master_ran = true;
        } else {
            descriptor->connect_port(inst, QM_SYNC_INPUT, _our_syncout_buf + offset);
            descriptor->connect_port(inst, QM_SYNC_OUTPUT, _dummy_buf + offset);
        }

        descriptor->run(inst, nframes);

        finish_channel(c, input, output, nframes, dry, pan);
    }

    if (!master_ran) {
        // No stale pulses for the loops that follow ours.
        silence(_our_syncout_buf + offset, 0, nframes);
    }

    end_ramps(gain, dry);
}

void Looper::run_loops_resampled(nframes_t offset, nframes_t nframes)
{
    const Ramp gain = make_ramp(_curr_input_gain, _targ_input_gain, nframes);
    const Ramp dry = make_ramp(_curr_dry, _target_dry, nframes);

    const double r = _src_in_ratio;
    nframes_t loop_frames = (nframes_t)std::ceil((double)nframes * r);
    if (loop_frames > _src_buffer_len) {
        loop_frames = _src_buffer_len;
    }

    // Sync input to the loop rate.
    const nframes_t sync_frames =
        convert(_insync_src_state, _src_data, _use_sync_buf + offset, nframes, _src_sync_buffer, loop_frames, r);
    silence(_src_sync_buffer, sync_frames, loop_frames);

    const bool pan = take_common_outs(offset);

    bool master_ran = false;
    nframes_t master_frames = 0;
    for (unsigned int c = 0; c < _built_chans; ++c) {
        float* input;
        float* output;
        float* loop_in = prepare_channel(c, offset, nframes, gain, input, output);
        if (!loop_in) {
            continue;
        }
        compute_peak(loop_in, nframes, _input_peak);

        // To the loop rate.
        const nframes_t m = convert(_in_src_states[c], _src_data, loop_in, nframes, _src_in_buffer, loop_frames, r);

        LADSPA_Handle inst = _instances[c];
        descriptor->connect_port(inst, QM_INPUT, _src_in_buffer);
        descriptor->connect_port(inst, QM_OUTPUT, _src_in_buffer);
        if (c == 0) {
            descriptor->connect_port(inst, QM_SYNC_INPUT, _src_sync_buffer);
            descriptor->connect_port(inst, QM_SYNC_OUTPUT, _src_sync_buffer);
            master_ran = true;
            master_frames = m;
        } else {
            descriptor->connect_port(inst, QM_SYNC_INPUT, _src_sync_buffer);
            descriptor->connect_port(inst, QM_SYNC_OUTPUT, _dummy_buf);
        }

        descriptor->run(inst, m);

        // Back to the block rate.
        nframes_t used = 0;
        nframes_t got =
            convert(_out_src_states[c], _src_data, _src_in_buffer, m, output, nframes, _src_out_ratio, &used);
        if (got < nframes && m > 0) {
            // Offer the last consumed frame again (never before the buffer).
            const nframes_t from = used > 0 ? (used <= m ? used - 1 : m - 1) : 0;
            got += convert(_out_src_states[c], _src_data, _src_in_buffer + from, m - from, output + got, nframes - got,
                           _src_out_ratio);
        }
        // What the converter did not produce is silence, not stale input.
        silence(output, got, nframes);

        if (r < 1.0) {
            _lp_filter[c]->run_lowpass(output, nframes);
        }

        finish_channel(c, input, output, nframes, dry, pan);
    }

    // The master's sync output back to the block rate; without a master run,
    // no stale pulses either.
    float* sync_out = _our_syncout_buf + offset;
    nframes_t sync_got = 0;
    if (master_ran) {
        sync_got = convert(_outsync_src_state, _src_data, _src_sync_buffer, master_frames, sync_out, nframes,
                           _src_out_ratio);
    }
    silence(sync_out, sync_got, nframes);

    end_ramps(gain, dry);
}

} // namespace Quillomat
