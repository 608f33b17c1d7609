#include "looper.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "engine.h"
#include "onepole_filter.h"
#include "panner.h"
#include "quillomat.h"
#include "utils.h"

namespace Quillomat {

const double Looper::MinResamplingRate = 0.25;
const double Looper::MaxResamplingRate = 4.0;
const float Looper::MaxLoopSecs = 3600.0f;

namespace {

template <class T> void free_array(T*& p)
{
    delete[] p;
    p = nullptr;
}

// A zeroed buffer of n samples in place of the old one (null, not dangling,
// when the allocation fails).
void renew_buffer(float*& p, size_t n)
{
    delete[] p;
    p = nullptr;
    p = new float[n]();
}

// Samples from..to-1 of buf become silence.
inline void silence(float* buf, nframes_t from, nframes_t to)
{
    if (from < to) {
        std::memset(buf + from, 0, (to - from) * sizeof(float));
    }
}

// dst[j] = g(j) * (a[j] + b[j]) (b may be null), the ramp's values as
// dsp::LinearRamp::at gives them; returns the largest magnitude written, a
// NaN passed over so that the meter never reads one.
float gain_into(float* dst, const float* a, const float* b, const dsp::LinearRamp& g, nframes_t n)
{
    if (n == 0) {
        return 0.0f;
    }
    const nframes_t last = n - 1;
    auto put = [dst](nframes_t j, float v) { dst[j] = v; };
    if (g.flat() && g.start == 1.0f) {
        if (b) {
            for (nframes_t j = 0; j < last; ++j) put(j, a[j] + b[j]);
        } else {
            for (nframes_t j = 0; j < last; ++j) put(j, a[j]);
        }
    } else if (g.flat()) {
        const float k = g.start;
        if (b) {
            for (nframes_t j = 0; j < last; ++j) put(j, k * (a[j] + b[j]));
        } else {
            for (nframes_t j = 0; j < last; ++j) put(j, k * a[j]);
        }
    } else {
        if (b) {
            for (nframes_t j = 0; j < last; ++j) put(j, (g.start + (float)(j + 1) * g.step) * (a[j] + b[j]));
        } else {
            for (nframes_t j = 0; j < last; ++j) put(j, (g.start + (float)(j + 1) * g.step) * a[j]);
        }
    }
    put(last, g.target * (b ? a[last] + b[last] : a[last]));
    return dsp::abs_peak(dst, n);
}

// out[j] = mix_guard(out[j] + d(j) * dry[j]) (dry may be null: the guard
// alone); returns the largest magnitude written.
float finish_into(float* out, const float* dry, const dsp::LinearRamp& d, nframes_t n)
{
    uint32_t m = 0;
    auto put = [&](nframes_t j, float v) {
        out[j] = dsp::mix_guard(v);
        const uint32_t bits = dsp::float_bits(out[j]) & 0x7FFFFFFFu;
        m = bits > m ? bits : m;
    };
    if (!dry) {
        for (nframes_t j = 0; j < n; ++j) put(j, out[j]);
        return dsp::bits_float(m);
    }
    if (n == 0) {
        return 0.0f;
    }
    const nframes_t last = n - 1;
    if (d.flat()) {
        const float k = d.start;
        for (nframes_t j = 0; j < last; ++j) put(j, out[j] + k * dry[j]);
    } else {
        for (nframes_t j = 0; j < last; ++j) put(j, out[j] + (d.start + (float)(j + 1) * d.step) * dry[j]);
    }
    put(last, out[last] + d.target * dry[last]);
    return dsp::bits_float(m);
}

} // namespace

// ---------------------------------------------------------------------------
// Construction

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

bool Looper::validate_config(long long index, long long chan_count, double loopsecs)
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

namespace {

// Bytes of memory the machine can still give without swapping: the kernel's
// own estimate, or the free pages where it has none.
unsigned long long available_memory()
{
    if (FILE* f = fopen("/proc/meminfo", "r")) {
        char line[128];
        unsigned long long kb = 0;
        bool found = false;
        while (!found && fgets(line, sizeof(line), f)) {
            found = sscanf(line, "MemAvailable: %llu kB", &kb) == 1;
        }
        fclose(f);
        if (found) {
            return kb * 1024ull;
        }
    }
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? (unsigned long long)pages * (unsigned long long)size : ~0ull;
}

} // namespace

size_t Looper::memory_bytes(unsigned int chan_count, float loopsecs, nframes_t srate, nframes_t bufsize)
{
    // Per channel: the processor's memory, its record and its loop frames;
    // then the block and loop-rate buffers the channels share, and the
    // clock's plans (two words a loop frame and a block frame).
    const size_t most = RateClock::most_made(bufsize);
    const size_t per_chan =
        ((size_t)qm_memory_samples(srate, loopsecs) + most + 3) * sizeof(float) + qm_record_bytes();
    return per_chan * chan_count + (6 * (size_t)bufsize + 4 * most) * sizeof(float);
}

// The processors touch all their memory as they are built: a loop that
// cannot have it is refused here rather than left to end the host.
bool Looper::memory_fits(unsigned int chan_count, float loopsecs, nframes_t srate, nframes_t bufsize)
{
    const unsigned long long need = memory_bytes(chan_count, loopsecs, srate, bufsize);
    const unsigned long long have = available_memory();
    if (need <= have) {
        return true;
    }
    std::cerr << "not enough memory for a loop of " << chan_count << " channels and " << loopsecs
              << " seconds: it needs " << (need >> 20) << " MB, " << (have >> 20) << " MB are available"
              << std::endl;
    return false;
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
    if (!memory_fits(chan_count, loopsecs, srate, bufsize)) {
        return false;
    }

    try {
        // Whatever an earlier initialisation built goes first.
        destroy();
        reset_fields(index, chan_count, discrete);
        if (!build_descriptor()) {
            return false;
        }
        build_arrays();
        _samplerate = (float)srate;
        resize_buffers(bufsize);
        set_control_defaults(srate);
        if (!build_instances(srate, loopsecs)) {
            publish_config();
            publish();
            return false;
        }
        register_ports();
        build_filters();
        build_panner();
    } catch (const std::exception& e) {
        std::cerr << "cannot build loop " << index << ": " << e.what() << std::endl;
        destroy();
        return false;
    }

    _ok = true;
    _memory_bytes = memory_bytes(chan_count, loopsecs, srate, bufsize);
    publish_config();
    publish();
    return true;
}

void Looper::reset_fields(unsigned int index, unsigned int chan_count, bool discrete)
{
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
    _src_in_ratio = _filter_ratio = 1.0;
    _clock.set_rate(1.0f);
    _sync_out_silent = true;
    _fall_frames = 0;
    _fall_factor = 1.0f;
}

bool Looper::build_descriptor()
{
    if (!descriptor) {
        descriptor = create_qm_descriptor();
        if (!descriptor) {
            std::cerr << "cannot create the loop processor descriptor" << std::endl;
            return false;
        }
    }
    return true;
}

void Looper::build_arrays()
{
    _built_chans = _chan_count;
    _instances = new LADSPA_Handle[_chan_count]();
    _input_ports = new port_id_t[_chan_count]();
    _output_ports = new port_id_t[_chan_count]();
    _lp_filter = new OnePoleFilter*[_chan_count]();
    _bound = new BoundAudio[_chan_count]();
    _last_in = new float[_chan_count]();
}

void Looper::set_control_defaults(nframes_t srate)
{
    std::memset(ports, 0, sizeof(ports));
    std::memset(_down_stamps, 0, sizeof(_down_stamps));

    _longpress_frames = (uint64_t)lrint((double)srate);
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
}

void Looper::connect_controls(unsigned int c, LADSPA_Data* controls, LADSPA_Data* slave_sync, LADSPA_Data* sink)
{
    LADSPA_Handle inst = _instances[c];
    for (int p = 0; p < ControlCount; ++p) {
        descriptor->connect_port(inst, p, &controls[p]);
    }
    if (c > 0) {
        // Only channel 0 reports status; the others follow its sync output.
        descriptor->connect_port(inst, QM_SYNC_MODE, slave_sync);
        for (int p = QM_STATE_OUT; p <= QM_TRUE_RATE_OUT; ++p) {
            descriptor->connect_port(inst, p, sink);
        }
    }
}

bool Looper::build_instances(nframes_t srate, float loopsecs)
{
    for (unsigned int c = 0; c < _chan_count; ++c) {
        _instances[c] = instantiateQuillomatWithMemory(descriptor, srate, loopsecs);
        if (!_instances[c]) {
            return false;
        }
        connect_controls(c, ports, &_slave_sync_port, &_slave_dummy_port);
        if (descriptor->activate) {
            descriptor->activate(_instances[c]);
        }
    }
    return true;
}

void Looper::register_ports()
{
    char name[100];
    for (unsigned int c = 0; c < _chan_count && _have_discrete_io; ++c) {
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
}

void Looper::build_filters()
{
    for (unsigned int c = 0; c < _chan_count; ++c) {
        _lp_filter[c] = new OnePoleFilter(_samplerate);
        _lp_filter[c]->set_cutoff(_lp_filter[c]->get_samplerate() * (float)_filter_ratio * 0.48f);
    }
}

void Looper::build_panner()
{
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
}

void Looper::destroy()
{
    _ok = false;
    _memory_bytes = 0;

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
        if (_lp_filter) {
            delete _lp_filter[c];
        }
    }
    _built_chans = 0;

    free_array(_instances);
    free_array(_input_ports);
    free_array(_output_ports);
    free_array(_lp_filter);
    free_array(_bound);
    free_array(_last_in);

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

    _clock.release();
    free_array(_loop_bufs);
    free_array(_loop_sync);
    free_array(_filter_buf);
    _loop_len = 0;
}

void Looper::use_sync_buf(float* buf)
{
    _use_sync_buf = buf ? buf : _our_syncin_buf;
}

void Looper::set_use_common_ins(bool val)
{
    _use_common_ins = val;
    _pub.use_common_ins.store(val, std::memory_order_relaxed);
}

void Looper::set_use_common_outs(bool val)
{
    _use_common_outs = val;
    _pub.use_common_outs.store(val, std::memory_order_relaxed);
}

void Looper::set_buffer_size(nframes_t bufsize)
{
    try {
        resize_buffers(bufsize);
    } catch (const std::exception& e) {
        // Some buffers may be gone: the loop must not run on them.
        std::cerr << "cannot size the buffers of loop " << _index << ": " << e.what() << std::endl;
        _ok = false;
    }
}

void Looper::resize_buffers(nframes_t bufsize)
{
    if (bufsize == _buffersize) {
        return;
    }
    const bool repoint = !_use_sync_buf || _use_sync_buf == _our_syncin_buf;
    const nframes_t most = RateClock::most_made(bufsize);
    const size_t chans = _built_chans ? _built_chans : 1;

    // Zeroed: another loop may read our sync output before channel 0 runs.
    renew_buffer(_our_syncin_buf, bufsize);
    renew_buffer(_our_syncout_buf, bufsize);
    renew_buffer(_dummy_buf, most);
    renew_buffer(_tmp_io_buf, bufsize);
    if (repoint) {
        _use_sync_buf = _our_syncin_buf;
    }
    _sync_out_silent = true;

    _loop_len = most + 2;
    renew_buffer(_loop_bufs, (size_t)_loop_len * chans);
    renew_buffer(_loop_sync, most);
    renew_buffer(_filter_buf, bufsize);
    _clock.reserve(bufsize);
    if (_bound) {
        std::memset(_bound, 0, sizeof(BoundAudio) * _built_chans);
    }

    _buffersize = bufsize;
}

// ---------------------------------------------------------------------------
// The published snapshot

void Looper::publish_config()
{
    _pub.chan_count.store(_chan_count, std::memory_order_relaxed);
    _pub.discrete_io.store(_have_discrete_io, std::memory_order_relaxed);
}

void Looper::publish()
{
    for (int p = 0; p < ControlCount; ++p) {
        _pub.ports[p].store(ports[p], std::memory_order_relaxed);
    }
    _pub.ports[DryLevel].store(_curr_dry, std::memory_order_relaxed);
    _pub.input_gain.store(_curr_input_gain, std::memory_order_relaxed);
    _pub.in_peak.store(_input_peak, std::memory_order_relaxed);
    _pub.out_peak.store(_output_peak, std::memory_order_relaxed);
    _pub.use_common_ins.store(_use_common_ins, std::memory_order_relaxed);
    _pub.use_common_outs.store(_use_common_outs, std::memory_order_relaxed);
    _pub.relative_sync.store(_relative_sync, std::memory_order_relaxed);

    const unsigned int streams = _panner ? (unsigned int)_panner->size() : 0;
    for (unsigned int i = 0; i < (unsigned int)PublishedPans; ++i) {
        float x = 0.0f;
        if (i < streams) {
            (*_panner)[i]->get_position(x);
        }
        _pub.pan[i].store(x, std::memory_order_relaxed);
    }

    uint32_t refusals = 0;
    for (unsigned int c = 0; c < _built_chans; ++c) {
        if (_instances[c]) {
            refusals += qm_memory_refusals(_instances[c]);
        }
    }
    _pub.memory_refusals.store(refusals, std::memory_order_relaxed);
}

uint32_t Looper::memory_refusals() const
{
    return _pub.memory_refusals.load(std::memory_order_relaxed);
}

uint32_t Looper::take_new_memory_refusals()
{
    const uint32_t now = memory_refusals();
    const uint32_t fresh = now - _refusals_reported;  // the count wraps
    _refusals_reported = now;
    return fresh;
}

void Looper::emit_pending_signals()
{
    try {
        if (_panner) {
            _panner->emit_pending_changes();
        }
    } catch (const std::exception& e) {
        std::cerr << "loop " << _index << ": a pan listener failed: " << e.what() << std::endl;
    }
}

// ---------------------------------------------------------------------------
// Block processing

void Looper::fall_meters(nframes_t nframes)
{
    if (_input_peak == 0.0f && _output_peak == 0.0f) {
        return;
    }
    if (nframes != _fall_frames) {
        _fall_frames = nframes;
        _fall_factor = dsp::fall_factor((float)nframes * _falloff_per_sample);
    }
    _input_peak = dsp::fall_off(_input_peak, _fall_factor);
    _output_peak = dsp::fall_off(_output_peak, _fall_factor);
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
            out[j] = dsp::mix_guard(in[j] * gain);
        }
    }
}

void Looper::deliver_command()
{
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
    // Only this thread counts: no read-modify-write needed.
    _pub.runs.store(_pub.runs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);

    if (!lm.locked()) {
        // A file load owns the processors.
        pass_through(offset, nframes);
        return;
    }

    _running_frames += nframes;
    deliver_command();

    const float user_sync = ports[Sync];
    if (_use_sync_buf == _our_syncin_buf || _use_sync_buf == _our_syncout_buf) {
        ports[Sync] = 0.0f;
    } else if (_relative_sync && ports[Sync] > 0.0f) {
        ports[Sync] = 2.0f;
    }

    fall_meters(nframes);

    const dsp::LinearRamp gain = dsp::LinearRamp::over(_curr_input_gain, _targ_input_gain, nframes);
    const dsp::LinearRamp dry = dsp::LinearRamp::over(_curr_dry, _target_dry, nframes);
    const bool pan = take_common_outs(offset);
    if (_clock.direct()) {
        run_loops(offset, nframes, gain, dry, pan);
    } else {
        run_loops_clocked(offset, nframes, gain, dry, pan);
    }
    if (pan && _use_common_outs) {
        guard_common_outs(nframes);
    }
    end_ramps(gain, dry);

    ports[Sync] = user_sync;

    serve_save(offset);
    publish();
}

float* Looper::prepare_channel(unsigned int c, nframes_t offset, nframes_t nframes, const dsp::LinearRamp& gain,
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
    float* loop_in = tmp;
    float peak;

    if (!_use_common_ins && _have_discrete_io && input) {
        peak = gain_into(tmp, input, nullptr, gain, nframes);
    } else {
        Engine* engine = _driver->get_engine();
        float* common = engine ? engine->get_common_input_buffer(c) : nullptr;
        if (common) {
            peak = gain_into(tmp, common + offset, input, gain, nframes);
        } else if (input) {
            loop_in = input;
            peak = dsp::abs_peak(input, nframes);
        } else {
            return nullptr;
        }
    }
    _input_peak = f_max(_input_peak, peak);
    return loop_in;
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
    // The panner writes one buffer per output it holds; a single output
    // takes every channel as it is.
    return all && (_panner ? _panner->outputs.size() == _common_out_count : _common_out_count == 1);
}

void Looper::bind_audio(unsigned int c, float* in, float* out, float* sync_in, float* sync_out)
{
    BoundAudio& b = _bound[c];
    LADSPA_Handle inst = _instances[c];
    if (b.in != in) {
        descriptor->connect_port(inst, QM_INPUT, in);
        b.in = in;
    }
    if (b.out != out) {
        descriptor->connect_port(inst, QM_OUTPUT, out);
        b.out = out;
    }
    if (b.sync_in != sync_in) {
        descriptor->connect_port(inst, QM_SYNC_INPUT, sync_in);
        b.sync_in = sync_in;
    }
    if (b.sync_out != sync_out) {
        descriptor->connect_port(inst, QM_SYNC_OUTPUT, sync_out);
        b.sync_out = sync_out;
    }
}

void Looper::finish_channel(unsigned int c, float* input, float* output, nframes_t nframes,
                            const dsp::LinearRamp& dry, bool pan)
{
    if (pan && _use_common_outs) {
        if (!_panner) {
            float* mix = _common_out_bufs[0];
            for (nframes_t j = 0; j < nframes; ++j) {
                mix[j] += output[j];
            }
        } else if (c < _panner->size()) {
            (*_panner)[c]->distribute(output, _common_out_bufs, 1.0f, nframes);
        }
    }
    // The dry signal reaches only the discrete output, after the panning;
    // what we write stays finite however loud the loop is.
    const float peak = finish_into(output, (_have_discrete_io && input) ? input : nullptr, dry, nframes);
    _output_peak = f_max(_output_peak, peak);
}

void Looper::guard_common_outs(nframes_t nframes)
{
    // Loud loops summed on one output may overflow.
    for (unsigned int k = 0; k < _common_out_count; ++k) {
        if (_common_out_bufs[k]) {
            dsp::mix_guard_block(_common_out_bufs[k], nframes);
        }
    }
}

void Looper::end_ramps(const dsp::LinearRamp& gain, const dsp::LinearRamp& dry)
{
    // Every ramp of the stretch ended on its target; with none run, the
    // target is taken all the same so the user's setting is what we report.
    _curr_input_gain = flush_to_zero(gain.target);
    _curr_dry = flush_to_zero(dry.target);
}

void Looper::silence_sync_out(nframes_t offset, nframes_t nframes)
{
    // No stale pulses for the loops that follow ours.
    if (!_sync_out_silent) {
        silence(_our_syncout_buf, offset, offset + nframes);
        _sync_out_silent = offset == 0 && nframes == _buffersize;
    }
}

bool Looper::has_loop_input(unsigned int c)
{
    if (_have_discrete_io && _input_ports[c] && _driver->get_input_port_buffer(_input_ports[c], _buffersize)) {
        return true;
    }
    Engine* engine = _driver->get_engine();
    return engine && engine->get_common_input_buffer(c);
}

void Looper::run_loops(nframes_t offset, nframes_t nframes, const dsp::LinearRamp& gain, const dsp::LinearRamp& dry,
                       bool pan)
{
    bool any = false;
    for (unsigned int c = 0; c < _built_chans; ++c) {
        float* input;
        float* output;
        float* loop_in = prepare_channel(c, offset, nframes, gain, input, output);
        if (!loop_in) {
            if (c == 0) {
                silence_sync_out(offset, nframes);
            }
            continue;
        }
        if (nframes > 0) {
            // What a stretch away from rate 1 takes up from: the last input
            // and the last two loop frames.
            _last_in[c] = loop_in[nframes - 1];
        }
        if (c == 0) {
            run_direct(c, loop_in, output, _use_sync_buf + offset, _our_syncout_buf + offset, nframes);
        } else {
            run_direct(c, loop_in, output, _our_syncout_buf + offset, _dummy_buf + offset, nframes);
        }
        float* kept = loop_frames(c);
        if (nframes > 1) {
            kept[0] = output[nframes - 2];
            kept[1] = output[nframes - 1];
        } else if (nframes == 1) {
            kept[0] = kept[1];
            kept[1] = output[0];
        }
        any = true;
        finish_channel(c, input, output, nframes, dry, pan);
    }
    if (any) {
        _clock.run_direct(nframes);
    }
}

void Looper::run_direct(unsigned int c, float* loop_in, float* out, float* sync_in, float* sync_out, nframes_t nframes)
{
    bind_audio(c, loop_in, out, sync_in, sync_out);
    if (c == 0) {
        _sync_out_silent = false;
    }
    descriptor->run(_instances[c], nframes);
}

void Looper::run_loops_clocked(nframes_t offset, nframes_t nframes, const dsp::LinearRamp& gain,
                               const dsp::LinearRamp& dry, bool pan)
{
    bool any = false;
    for (unsigned int c = 0; c < _built_chans && !any; ++c) {
        any = has_loop_input(c);
    }
    if (!any) {
        // The loop stands still, and so does its clock.
        silence_sync_out(offset, nframes);
        return;
    }
    if (_clock.below_one() && _filter_ratio != _src_in_ratio && nframes > 0) {
        // The cutoff follows the rate below 1 that runs, so that changes
        // undone before a frame ran leave the filter as it was.
        _filter_ratio = _src_in_ratio;
        for (unsigned int c = 0; c < _built_chans; ++c) {
            _lp_filter[c]->set_cutoff(_samplerate * (float)_filter_ratio * 0.48f);
        }
    }
    _clock.plan(nframes);
    const nframes_t m = _clock.made();
    const bool one = _clock.at_one();
    float* sync_in = _use_sync_buf + offset;
    float* sync_out = _our_syncout_buf + offset;
    if (one) {
        // The block's own sync signals, with a pulse still bound for a loop
        // frame of this stretch.
        nframes_t at;
        if (_clock.waiting_in(at)) {
            std::copy(sync_in, sync_in + nframes, _loop_sync);
            _loop_sync[at] = 1.0f;
            sync_in = _loop_sync;
            _clock.take_waiting_in();
        }
    } else {
        _clock.sync_to_loop(sync_in, _loop_sync);
    }

    bool master = false;
    for (unsigned int c = 0; c < _built_chans; ++c) {
        float* input;
        float* output;
        float* loop_in = prepare_channel(c, offset, nframes, gain, input, output);
        if (!loop_in) {
            if (c == 0) {
                // The others follow no pulses of ours.
                silence_sync_out(offset, nframes);
                std::fill(_loop_sync, _loop_sync + m, 0.0f);
            }
            continue;
        }
        float* loop = loop_frames(c);
        const float last = nframes > 0 ? loop_in[nframes - 1] : _last_in[c];
        if (one) {
            if (c == 0) {
                run_direct(c, loop_in, loop + 2, sync_in, sync_out, nframes);
            } else {
                run_direct(c, loop_in, loop + 2, sync_out, _dummy_buf + offset, nframes);
            }
        } else {
            _clock.to_loop(loop_in, _last_in[c], loop + 2);
            // In place; the master's sync output takes the place of its input.
            bind_audio(c, loop + 2, loop + 2, _loop_sync, c == 0 ? _loop_sync : _dummy_buf);
            descriptor->run(_instances[c], m);
        }
        _last_in[c] = last;
        master = master || c == 0;

        _clock.to_block(loop, output);
        std::memmove(loop, loop + m, 2 * sizeof(float));
        low_pass(c, output, nframes);
        finish_channel(c, input, output, nframes, dry, pan);
    }
    if (master) {
        if (!one) {
            silence(sync_out, 0, nframes);
        }
        _clock.sync_to_block(one ? nullptr : _loop_sync, sync_out);
        _sync_out_silent = false;
    }
}

void Looper::low_pass(unsigned int c, float* out, nframes_t n)
{
    const int full = RateClock::FilterSteps;
    if (n == 0 || (_clock.filter_at(0) == 0 && _clock.filter_steps() == 0)) {
        return;
    }
    OnePoleFilter* lp = _lp_filter[c];
    if (_clock.filter_starts()) {
        // A filter that did not run before starts from here.
        lp->settle(out[0]);
    }
    if (_clock.filter_at(0) == full && _clock.filter_steps() == full) {
        lp->run_lowpass(out, n);
        return;
    }
    // Fading in or out: the filtered signal mixed in by its weight.
    std::copy(out, out + n, _filter_buf);
    lp->run_lowpass(_filter_buf, n);
    const float step = 1.0f / (float)full;
    for (nframes_t j = 0; j < n; ++j) {
        const int k = _clock.filter_at(j);
        out[j] = k == full ? _filter_buf[j] : k == 0 ? out[j] : out[j] + (float)k * step * (_filter_buf[j] - out[j]);
    }
}

} // namespace Quillomat
