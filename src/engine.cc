#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "control_osc.h"
#include "dsp.h"
#include "event_nonrt.h"
#include "looper.h"
#include "utils.h"

namespace Quillomat {

const float Engine::MinEighthPerCycle = 1.0f;
const float Engine::MaxEighthPerCycle = 65536.0f;

namespace {

// Room in the audio thread's list: twice the loop limit, so the list never
// grows on the audio thread even while a replaced session's loops are still
// on their way out.
const size_t kRtListCapacity = 2 * Engine::MaxLoops;

// The MIDI path only tries the writer lock it shares with the OSC thread; a
// few tries ride out a write in progress, then the event is dropped.
const int kWriterTries = 64;

bool try_lock_briefly(Kvo::NonBlockingLock& lock)
{
    for (int i = 0; i < kWriterTries; ++i) {
        if (lock.trylock() == 0) {
            return true;
        }
    }
    return false;
}

bool port_at(const std::vector<port_id_t>& ports, unsigned int chan, port_id_t& port)
{
    if (chan >= ports.size() || ports[chan] == 0) {
        return false;
    }
    port = ports[chan];
    return true;
}

float* buffer_at(const std::vector<float*>& buffers, size_t slots, unsigned int chan)
{
    return chan < slots && chan < buffers.size() ? buffers[chan] : nullptr;
}

void delete_buffers(std::vector<float*>& buffers)
{
    for (float* b : buffers) {
        delete[] b;
    }
    buffers.clear();
}

void renew_buffers(std::vector<float*>& buffers, nframes_t n)
{
    for (float*& b : buffers) {
        delete[] b;
        b = new float[n]();
    }
}

// x minus x truncated toward zero, the truncation in single precision as the
// sync counters have always been kept.
inline double frac(double x)
{
    return x - (double)std::trunc((float)x);
}

// A duration in frames as an unsigned count; nonsense counts as 0.
inline uint32_t to_frames(double frames)
{
    if (!(frames > 0.0)) {
        return 0;
    }
    return frames >= 4294967295.0 ? 4294967295u : (uint32_t)frames;
}

// Offset inside [0, nframes) of the next boundary of a period counted from
// transport frame 0, or -1 when none falls in the region.
long transport_boundary(double framepos, nframes_t nframes, double period)
{
    const long a = lrint(fmod(framepos, period));
    const long b = lrint(fmod(framepos + nframes, period));
    const long d = a == 0 ? 0 : lrint(period - (double)a);
    if ((a == 0 || b <= a) && d >= 0 && d < (long)nframes) {
        return d;
    }
    return -1;
}

} // namespace

Event* Engine::EventCursor::peek()
{
    while (piece < 2) {
        if (idx < vec.len[piece]) {
            return &vec.buf[piece][idx];
        }
        ++piece;
        idx = 0;
    }
    return nullptr;
}

Engine::Engine()
    : _driver(nullptr),
      _osc(nullptr),
      _loop_count(0),
      _loop_manage_to_rt_queue(nullptr),
      _loop_manage_to_main_queue(nullptr),
      _ignore_quit(false),
      _ok(false),
      _event_queue(nullptr),
      _midi_event_queue(nullptr),
      _sync_queue(nullptr),
      _nonrt_update_event_queue(nullptr),
      _event_generator(nullptr),
      _nonrt_event_queue(nullptr),
      _wake_pending(false),
      _midi_bridge(nullptr),
      _learn_done(false),
      _received_done(false),
      _def_channel_cnt(2),
      _def_loop_secs(200.0f),
      _buffersize(0),
      _samplerate(0.0),
      _internal_sync_buf(nullptr),
      _sync_source(NoSync),
      _tempo(110.0),
      _eighth_cycle(16.0f),
      _rt_requests(0),
      _rt_sync_source(NoSync),
      _use_temp_input(true),
      _curr_common_dry(1.0f),
      _target_common_dry(1.0f),
      _curr_common_wet(1.0f),
      _target_common_wet(1.0f),
      _curr_input_gain(1.0f),
      _target_input_gain(1.0f),
      _common_input_peak(0.0f),
      _common_output_peak(0.0f),
      _falloff_per_sample(0.0f),
      _tempo_counter(0.0),
      _tempo_frames(0.0),
      _quarter_note_frames(0.0),
      _quarter_counter(0.0),
      _midi_ticks(0),
      _midi_loop_tick(12),
      _running_frames(0),
      _last_tempo_frame(0),
      _tempo_changed(false),
      _beat_occurred(false),
      _running_tempo_sum(0.0),
      _avgindex(TEMPO_WINDOW_SIZE - 1),
      _loading(false)
{
    pthread_cond_init(&_event_cond, nullptr);
    reset_avg_tempo(0.0);
}

Engine::~Engine()
{
    set_midi_bridge(nullptr);
    if (_driver || _osc) {
        cleanup();
    }
    free_buffers();
    pthread_cond_destroy(&_event_cond);
}

// ---------------------------------------------------------------------------
// Set-up and clean-up

bool Engine::initialize(AudioDriver* driver, int channels, int port, std::string text)
{
    (void)text;

    if (_driver || _osc) {
        cleanup();
    }
    if (!driver) {
        std::cerr << "cannot connect to audio driver" << std::endl;
        return false;
    }
    if (channels < 0 || channels > (int)Looper::MaxChannels) {
        std::cerr << "common channel count out of range (0.." << Looper::MaxChannels << "): " << channels
                  << std::endl;
        return false;
    }

    _driver = driver;
    _driver->set_engine(this);
    if (!_driver->initialize("")) {
        std::cerr << "cannot connect to audio driver" << std::endl;
        return false;
    }

    _buffersize = _driver->get_buffersize();
    _samplerate = (double)_driver->get_samplerate();
    if (_buffersize == 0 || _samplerate <= 0.0) {
        std::cerr << "audio driver reports no sample rate or block size" << std::endl;
        return false;
    }

    _common_inputs.clear();
    _common_outputs.clear();
    _common_input_buffers.clear();
    _common_output_buffers.clear();
    free_buffers();

    // A refused port keeps its slot (id 0), so channel i stays channel i.
    char name[100];
    for (int i = 0; i < channels; ++i) {
        port_id_t id = 0;
        snprintf(name, sizeof(name), "common_in_%d", i + 1);
        if (!_driver->create_input_port(name, id)) {
            id = 0;
        }
        _common_inputs.push_back(id);
        _temp_input_buffers.push_back(new float[_buffersize]());
        _common_input_buffers.push_back(nullptr);

        id = 0;
        snprintf(name, sizeof(name), "common_out_%d", i + 1);
        if (!_driver->create_output_port(name, id)) {
            id = 0;
        }
        _common_outputs.push_back(id);
        _temp_output_buffers.push_back(new float[_buffersize]());
        _common_output_buffers.push_back(nullptr);
    }
    _use_temp_input = true;

    _event_generator = new EventGenerator((unsigned int)_samplerate);

    _event_queue = new RingBuffer<Event>(1024);
    _midi_event_queue = new RingBuffer<Event>(1024);
    _sync_queue = new RingBuffer<Event>(1024);
    _nonrt_update_event_queue = new RingBuffer<Event>(1024);
    _nonrt_event_queue = new RingBuffer<EventNonRT*>(1024);
    _loop_manage_to_rt_queue = new RingBuffer<LoopManageEvent>(16);
    _loop_manage_to_main_queue = new RingBuffer<LoopManageEvent>(16);

    _instances.reserve(MaxLoops);
    _rt_instances.reserve(kRtListCapacity);

    _internal_sync_buf = new float[_buffersize]();
    _falloff_per_sample = (float)(30.0 / _samplerate);

    _rt_sync_source = _sync_source.load();
    calculate_tempo_frames();

    // A port outside 0..65535 binds nothing; the server still runs.
    _osc = new ControlOSC(this, port >= 0 && port <= 65535 ? (unsigned int)port : 65536u);
    _ok = _osc->is_ok();
    return _ok;
}

std::string Engine::get_osc_url(bool udp) const
{
    if (!_osc || !_osc->is_ok()) {
        return std::string();
    }
    return udp ? _osc->get_server_url() : _osc->get_unix_server_url();
}

int Engine::get_osc_port() const
{
    return _osc && _osc->is_ok() ? _osc->get_server_port() : 0;
}

void Engine::free_buffers()
{
    delete_buffers(_temp_input_buffers);
    delete_buffers(_temp_output_buffers);
    delete[] _internal_sync_buf;
    _internal_sync_buf = nullptr;
}

void Engine::cleanup()
{
    // No handler may queue anything once the queues go.
    delete _osc;
    _osc = nullptr;

    // Queued requests were handed to us: they go with the queue.
    if (_nonrt_event_queue) {
        EventNonRT* req = nullptr;
        while (_nonrt_event_queue->read(&req, 1) == 1) {
            delete req;
        }
    }
    delete _event_queue;
    _event_queue = nullptr;
    delete _midi_event_queue;
    _midi_event_queue = nullptr;
    delete _sync_queue;
    _sync_queue = nullptr;
    delete _nonrt_event_queue;
    _nonrt_event_queue = nullptr;
    delete _nonrt_update_event_queue;
    _nonrt_update_event_queue = nullptr;
    delete _event_generator;
    _event_generator = nullptr;
    delete _loop_manage_to_rt_queue;
    _loop_manage_to_rt_queue = nullptr;
    delete _loop_manage_to_main_queue;
    _loop_manage_to_main_queue = nullptr;
    free_buffers();

    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        for (Looper* l : owned_loopers()) {
            delete l;
        }
        _instances.clear();
        count_loops();
        _removing.clear();
        _to_rt_backlog.clear();
    }
    _rt_instances.clear();

    _driver = nullptr;
    _ok = false;
}

void Engine::buffersize_changed(nframes_t n)
{
    if (n == _buffersize || n == 0 || !_driver) {
        return;
    }
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    // Live loops, loops on their way in and loops waiting for deletion alike.
    for (Looper* l : owned_loopers()) {
        l->set_buffer_size(n);
    }
    renew_buffers(_temp_input_buffers, n);
    renew_buffers(_temp_output_buffers, n);
    delete[] _internal_sync_buf;
    _internal_sync_buf = new float[n]();
    _buffersize = n;
    // The master's sync output and our own sync buffer have moved.
    rewire_sync(_sync_source.load());
}

std::vector<Looper*> Engine::owned_loopers() const
{
    // A loop on its way out may still be listed: each looper once.
    std::vector<Looper*> all(_instances);
    for (Looper* l : _removing) {
        if (std::find(_instances.begin(), _instances.end(), l) == _instances.end()) {
            all.push_back(l);
        }
    }
    return all;
}

void Engine::quit(bool force)
{
    if (!force && _ignore_quit) {
        return;
    }
    _ok = false;
    wake_engine_thread(true);
}

bool Engine::set_default_loop_secs(float secs)
{
    if (!std::isfinite(secs) || secs <= 0.0f || secs > Looper::MaxLoopSecs) {
        return false;
    }
    _def_loop_secs = secs;
    return true;
}

bool Engine::set_default_channels(int channels)
{
    if (channels < 1 || channels > (int)Looper::MaxChannels) {
        return false;
    }
    _def_channel_cnt = channels;
    return true;
}

bool Engine::get_common_input(unsigned int chan, port_id_t& port)
{
    return port_at(_common_inputs, chan, port);
}

bool Engine::get_common_output(unsigned int chan, port_id_t& port)
{
    return port_at(_common_outputs, chan, port);
}

float* Engine::get_common_input_buffer(unsigned int chan)
{
    return buffer_at(_use_temp_input ? _temp_input_buffers : _common_input_buffers, _common_inputs.size(), chan);
}

float* Engine::get_common_output_buffer(unsigned int chan)
{
    return buffer_at(_use_temp_input ? _temp_output_buffers : _common_output_buffers, _common_outputs.size(), chan);
}

// ---------------------------------------------------------------------------
// Producers

Event* Engine::claim_event(RingBuffer<Event>* queue, long framepos)
{
    if (!queue || !_event_generator) {
        return nullptr;
    }
    RingBuffer<Event>::rw_vector vec;
    queue->get_write_vector(&vec);
    if (vec.len[0] == 0) {
        return nullptr;
    }
    *vec.buf[0] = _event_generator->createEvent(framepos);
    return vec.buf[0];
}

bool Engine::do_push_command_event(RingBuffer<Event>* queue, Event::type_t type, Event::command_t cmd,
                                   int8_t instance, long framepos)
{
    Event* ev = claim_event(queue, framepos);
    if (!ev) {
        return false;
    }
    ev->Type = type;
    ev->Command = cmd;
    ev->Instance = instance;
    queue->increment_write_ptr(1);
    return true;
}

bool Engine::do_push_control_event(RingBuffer<Event>* queue, Event::type_t type, Event::control_t ctrl, float value,
                                   int8_t instance, long framepos, int src)
{
    Event* ev = claim_event(queue, framepos);
    if (!ev) {
        return false;
    }
    ev->Type = type;
    ev->Control = ctrl;
    ev->Value = value;
    ev->Instance = instance;
    ev->source = src;
    queue->increment_write_ptr(1);
    return true;
}

void Engine::wake_engine_thread(bool wait_for_lock)
{
    if (wait_for_lock) {
        Kvo::LockMonitor lm(_event_loop_lock, __LINE__, __FILE__);
        _wake_pending = true;
        pthread_cond_signal(&_event_cond);
        return;
    }
    // Never wait on the MIDI path: a missed wake-up costs at most one poll
    // of the main loop.
    Kvo::TentativeLockMonitor lm(_event_loop_lock, __LINE__, __FILE__);
    if (lm.locked()) {
        _wake_pending = true;
    }
    pthread_cond_signal(&_event_cond);
}

bool Engine::push_command_event(Event::type_t type, Event::command_t cmd, int8_t instance)
{
    return do_push_command_event(_event_queue, type, cmd, instance, -1);
}

bool Engine::push_midi_command_event(Event::type_t type, Event::command_t cmd, int8_t instance, long framepos)
{
    return do_push_command_event(_midi_event_queue, type, cmd, instance, framepos);
}

bool Engine::push_control_event(Event::type_t type, Event::control_t ctrl, float value, int8_t instance, int src)
{
    const bool queued = do_push_control_event(_event_queue, type, ctrl, value, instance, -1, 0);
    {
        Kvo::LockMonitor lm(_update_write_lock, __LINE__, __FILE__);
        do_push_control_event(_nonrt_update_event_queue, type, ctrl, value, instance, -1, src);
    }
    wake_engine_thread(false);
    return queued;
}

bool Engine::push_midi_control_event(Event::type_t type, Event::control_t ctrl, float value, int8_t instance,
                                     long framepos)
{
    const bool queued = do_push_control_event(_midi_event_queue, type, ctrl, value, instance, framepos, 0);
    if (try_lock_briefly(_update_write_lock)) {
        do_push_control_event(_nonrt_update_event_queue, type, ctrl, value, instance, -1, 0);
        _update_write_lock.unlock();
    }
    wake_engine_thread(false);
    return queued;
}

bool Engine::push_sync_event(Event::control_t ctrl, long framepos)
{
    if (_sync_source.load(std::memory_order_relaxed) != MidiClockSync) {
        return false;
    }
    if (!try_lock_briefly(_sync_write_lock)) {
        return false;
    }
    const bool queued =
        do_push_control_event(_sync_queue, Event::type_sync, ctrl, 0.0f, (int8_t)-1, framepos, 0);
    _sync_write_lock.unlock();
    return queued;
}

bool Engine::push_nonrt_event(EventNonRT* event)
{
    if (!event) {
        return false;
    }
    if (!_nonrt_event_queue || _nonrt_event_queue->write(&event, 1) != 1) {
        delete event;
        return false;
    }
    wake_engine_thread(true);
    return true;
}

// ---------------------------------------------------------------------------
// Block processing (audio thread)

int Engine::process(nframes_t nframes)
{
    if (!_internal_sync_buf || !_event_queue) {
        return 0;
    }
    if (nframes > _buffersize) {
        nframes = _buffersize;
    }

    // Events written from here on wait for the next block.
    EventCursor osc, midi;
    _event_queue->get_read_vector(&osc.vec);
    _midi_event_queue->get_read_vector(&midi.vec);
    const size_t osc_count = osc.total();
    const size_t midi_count = midi.total();

    _event_generator->updateFragmentTime(nframes);

    process_rt_loop_manage_events();

    calculate_tempo_frames();
    generate_sync(0, nframes);

    prepare_buffers(nframes);

    const int master = master_index();
    nframes_t used = 0;
    if (osc_count + midi_count > 0) {
        for (;;) {
            Event* a = osc.peek();
            Event* b = midi.peek();
            Event* ev;
            // On equal frames the MIDI event goes first.
            if (a && (!b || a->FragmentPos() < b->FragmentPos())) {
                ev = a;
                osc.next();
            } else if (b) {
                ev = b;
                midi.next();
            } else {
                break;
            }

            // Late and out-of-block events act at the current point.
            const int p = ev->FragmentPos();
            const nframes_t pos = (p < (int)used || p >= (int)nframes) ? used : (nframes_t)p;
            const nframes_t len = pos - used;

            // A global event (instance -2) is the engine's alone: no loop
            // is addressed by it.
            if (ev->Instance == -2) {
                do_global_rt_event(ev, pos, nframes - pos);
            }
            run_loops(used, len, master, ev);
            used += len;
        }
        _event_queue->increment_read_ptr(osc_count);
        _midi_event_queue->increment_read_ptr(midi_count);
    }
    run_loops(used, nframes - used, master, nullptr);

    fill_common_outs(nframes);

    _running_frames.store(_running_frames.load(std::memory_order_relaxed) + nframes, std::memory_order_relaxed);
    return 0;
}

int Engine::master_index() const
{
    const int n = _rt_sync_source;
    return (n >= 1 && (size_t)n <= _rt_instances.size()) ? n - 1 : -1;
}

void Engine::run_loops(nframes_t offset, nframes_t nframes, int master, Event* ev)
{
    const int target = ev ? (int)ev->Instance : -3;
    if (master >= 0) {
        Looper* m = _rt_instances[(size_t)master];
        m->run(offset, nframes);
        if (target == -1 || target == master) {
            m->do_event(ev);
        }
    }
    const int count = (int)_rt_instances.size();
    for (int j = 0; j < count; ++j) {
        if (j == master) {
            continue;
        }
        Looper* l = _rt_instances[(size_t)j];
        l->run(offset, nframes);
        if (target == -1 || target == j) {
            l->do_event(ev);
        }
    }
}

void Engine::do_global_rt_event(Event* ev, nframes_t offset, nframes_t nframes)
{
    const float v = ev->Value;
    switch (ev->Control) {
    case Event::TapTempo:
        tap_tempo(offset, nframes);
        break;
    case Event::DryLevel:
        if (std::isfinite(v)) {
            _target_common_dry.store(v, std::memory_order_relaxed);
        }
        break;
    case Event::WetLevel:
        if (std::isfinite(v)) {
            _target_common_wet.store(v, std::memory_order_relaxed);
        }
        break;
    case Event::InputGain:
        if (std::isfinite(v)) {
            _target_input_gain.store(v, std::memory_order_relaxed);
        }
        break;
    default:
        break;
    }
}

void Engine::prepare_buffers(nframes_t nframes)
{
    const float start = _curr_input_gain.load(std::memory_order_relaxed);
    const float target = _target_input_gain.load(std::memory_order_relaxed);
    const dsp::LinearRamp gain = dsp::LinearRamp::over(start, target, nframes);
    const size_t chans = _common_outputs.size();

    bool direct = start == 1.0f && target == 1.0f;
    for (size_t i = 0; i < chans; ++i) {
        float* in = _common_inputs[i] ? _driver->get_input_port_buffer(_common_inputs[i], _buffersize) : nullptr;
        float* out = _common_outputs[i] ? _driver->get_output_port_buffer(_common_outputs[i], _buffersize) : nullptr;
        _common_input_buffers[i] = in;
        _common_output_buffers[i] = out;
        direct = direct && in && out;
    }
    // A host that runs in place hands us one buffer for both: clearing the
    // output for the loopers would clear the input.
    for (size_t i = 0; direct && i < chans; ++i) {
        for (size_t k = 0; k < chans; ++k) {
            if (_common_input_buffers[i] == _common_output_buffers[k]) {
                direct = false;
                break;
            }
        }
    }
    _use_temp_input = !direct;

    for (size_t i = 0; i < chans; ++i) {
        if (direct) {
            std::memset(_common_output_buffers[i], 0, nframes * sizeof(float));
            continue;
        }
        std::memset(_temp_output_buffers[i], 0, nframes * sizeof(float));
        float* tmp = _temp_input_buffers[i];
        const float* in = _common_input_buffers[i];
        if (!in) {
            std::memset(tmp, 0, nframes * sizeof(float));
        } else if (gain.flat()) {
            for (nframes_t k = 0; k < nframes; ++k) {
                tmp[k] = in[k] * target;
            }
        } else {
            for (nframes_t k = 0; k < nframes; ++k) {
                tmp[k] = in[k] * gain.at(k);
            }
        }
    }
    _curr_input_gain.store(flush_to_zero(target), std::memory_order_relaxed);
}

void Engine::fill_common_outs(nframes_t nframes)
{
    const float dry0 = _curr_common_dry.load(std::memory_order_relaxed);
    const float wet0 = _curr_common_wet.load(std::memory_order_relaxed);
    const dsp::LinearRamp dry = dsp::LinearRamp::over(dry0, _target_common_dry.load(std::memory_order_relaxed), nframes);
    const dsp::LinearRamp wet = dsp::LinearRamp::over(wet0, _target_common_wet.load(std::memory_order_relaxed), nframes);

    const float drop = (float)nframes * _falloff_per_sample;
    float in_peak = dsp::fall_off(_common_input_peak.load(std::memory_order_relaxed), drop);
    float out_peak = dsp::fall_off(_common_output_peak.load(std::memory_order_relaxed), drop);

    const size_t chans = _common_outputs.size();
    for (size_t i = 0; i < chans; ++i) {
        const float* in = _common_input_buffers[i];
        float* out = _common_output_buffers[i];
        if (in) {
            in_peak = dsp::abs_peak(in, nframes, in_peak);
        }
        if (!out) {
            continue;
        }
        const float* mix = _use_temp_input ? _temp_output_buffers[i] : out;
        if (dry.flat() && wet.flat()) {
            dsp::mix_steady(out, mix, in, wet.target, dry.target, nframes);
        } else {
            for (nframes_t k = 0; k < nframes; ++k) {
                const float x = in ? in[k] : 0.0f;
                out[k] = dsp::mix_guard(mix[k] * wet.at(k) + x * dry.at(k));
            }
        }
        out_peak = dsp::abs_peak(out, nframes, out_peak);
    }

    _curr_common_dry.store(flush_to_zero(dry.target), std::memory_order_relaxed);
    _curr_common_wet.store(flush_to_zero(wet.target), std::memory_order_relaxed);
    _common_input_peak.store(in_peak < 20.0f ? in_peak : 20.0f, std::memory_order_relaxed);
    _common_output_peak.store(out_peak < 20.0f ? out_peak : 20.0f, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Loops on the audio thread

void Engine::process_rt_loop_manage_events()
{
    bool changed = false;
    Looper* released[16];
    size_t nreleased = 0;

    if (_ok.load(std::memory_order_acquire)) {
        // A removal is taken only when it can be handed back at once.
        size_t room = _loop_manage_to_main_queue->write_space();
        if (room > sizeof(released) / sizeof(released[0])) {
            room = sizeof(released) / sizeof(released[0]);
        }
        RingBuffer<LoopManageEvent>::rw_vector vec;
        _loop_manage_to_rt_queue->get_read_vector(&vec);
        size_t taken = 0;
        bool stop = false;
        for (int piece = 0; piece < 2 && !stop; ++piece) {
            for (size_t k = 0; k < vec.len[piece]; ++k) {
                LoopManageEvent& rec = vec.buf[piece][k];
                if (rec.etype == LoopManageEvent::RemoveLoop) {
                    if (nreleased >= room) {
                        stop = true;
                        break;
                    }
                    auto it = std::find(_rt_instances.begin(), _rt_instances.end(), rec.looper);
                    if (it != _rt_instances.end()) {
                        _rt_instances.erase(it);
                    }
                    released[nreleased++] = rec.looper;
                    changed = true;
                } else if (rec.etype == LoopManageEvent::AddLoop && rec.looper &&
                           _rt_instances.size() < _rt_instances.capacity()) {
                    _rt_instances.push_back(rec.looper);
                    rec.looper->set_port(Looper::EighthPerCycleLoop, _eighth_cycle.load(std::memory_order_relaxed));
                    changed = true;
                }
                ++taken;
            }
        }
        _loop_manage_to_rt_queue->increment_read_ptr(taken);
    }

    const uint32_t req = _rt_requests.exchange(0, std::memory_order_acq_rel);
    _rt_sync_source = _sync_source.load(std::memory_order_acquire);

    if (req & ReqEighths) {
        const float e = _eighth_cycle.load(std::memory_order_relaxed);
        for (Looper* l : _rt_instances) {
            l->set_port(Looper::EighthPerCycleLoop, e);
        }
        calculate_midi_tick();
    }
    if (changed || (req & ReqSyncSource)) {
        rewire_sync(_rt_sync_source);
        _quarter_counter = 0.0;
        set_tempo_rt(_tempo.load(std::memory_order_relaxed));
    } else if (req & ReqTempo) {
        set_tempo_rt(_tempo.load(std::memory_order_relaxed));
    }

    // Handed back only now that no looper follows their sync output.
    for (size_t k = 0; k < nreleased; ++k) {
        LoopManageEvent rec(LoopManageEvent::RemoveLoop, released[k]);
        push_loop_manage_to_main(rec);
    }
}

void Engine::rewire_sync(int source)
{
    float* buf = _internal_sync_buf;
    if (source >= 1 && (size_t)source <= _rt_instances.size()) {
        float* m = _rt_instances[(size_t)source - 1]->get_sync_out_buf();
        if (m) {
            buf = m;
        }
    }
    for (Looper* l : _rt_instances) {
        l->use_sync_buf(buf);
    }
}

// ---------------------------------------------------------------------------
// Tempo and sync (audio thread)

bool Engine::tempo_in_range(double tempo) const
{
    if (!std::isfinite(tempo) || tempo < 0.0) {
        return false;
    }
    // A quarter note of fewer than two frames stalls the generator.
    return tempo == 0.0 || _samplerate <= 0.0 || _samplerate * 60.0 / tempo >= 2.0;
}

bool Engine::eighth_in_range(float eighths)
{
    return std::isfinite(eighths) && eighths >= MinEighthPerCycle && eighths <= MaxEighthPerCycle;
}

void Engine::calculate_tempo_frames()
{
    const float q = _rt_instances.empty() ? 2.0f : _rt_instances[0]->get_control_value(Event::Quantize);
    const double tempo = _tempo.load(std::memory_order_relaxed);
    const int source = _rt_sync_source;

    if (source == InternalTempoSync || source == JackSync) {
        if (tempo > 0.0) {
            const double eighth = _samplerate * (1.0 / tempo) * 30.0;
            if (q == 2.0f) {
                _tempo_frames = eighth;
            } else if (q == 1.0f) {
                _tempo_frames = eighth * _eighth_cycle.load(std::memory_order_relaxed);
            } else {
                _tempo_frames = 0.0;
            }
        } else {
            _tempo_frames = 0.0;
        }
    } else if (source == MidiClockSync) {
        calculate_midi_tick();
    }

    _quarter_note_frames = tempo > 0.0 ? _samplerate * (1.0 / tempo) * 60.0 : 0.0;
    if (_quarter_note_frames < 2.0) {
        _quarter_note_frames = 0.0;
    }
}

void Engine::calculate_midi_tick()
{
    const float q = _rt_instances.empty() ? 2.0f : _rt_instances[0]->get_control_value(Event::Quantize);
    if (q == 2.0f) {
        _midi_loop_tick = 12;
    } else if (q == 1.0f) {
        const uint32_t ticks = (uint32_t)(_eighth_cycle.load(std::memory_order_relaxed) * 12.0f);
        _midi_loop_tick = ticks ? ticks : 1;
    } else {
        _midi_loop_tick = 24;
    }
}

void Engine::set_tempo_rt(double tempo)
{
    _tempo.store(tempo, std::memory_order_relaxed);
    _quarter_counter = 0.0;
    _tempo_counter = 0.0;
    const float sent = _rt_sync_source == NoSync ? 0.0f : (float)tempo;
    for (Looper* l : _rt_instances) {
        l->set_port(Looper::TempoInput, sent);
    }
}

double Engine::avg_tempo(double tempo)
{
    _running_tempo_sum += tempo - _tempo_averages[_avgindex];
    _tempo_averages[_avgindex] = tempo;
    _avgindex = (_avgindex + 1) & TEMPO_WINDOW_SIZE_MASK;
    return _running_tempo_sum / TEMPO_WINDOW_SIZE;
}

void Engine::reset_avg_tempo(double tempo)
{
    for (int i = 0; i < TEMPO_WINDOW_SIZE; ++i) {
        _tempo_averages[i] = tempo;
    }
    _running_tempo_sum = tempo * TEMPO_WINDOW_SIZE;
    _avgindex = TEMPO_WINDOW_SIZE - 1;
}

void Engine::tap_tempo(nframes_t offset, nframes_t nframes)
{
    const nframes_t tap = _running_frames.load(std::memory_order_relaxed) + offset;
    if (_last_tempo_frame < tap) {
        const double t = avg_tempo(_samplerate / (double)(tap - _last_tempo_frame) * 60.0);
        if (t > 0.0 && tempo_in_range(t)) {
            set_tempo_rt(t);
            calculate_tempo_frames();
            // The tap is the new phase of the rest of the block.
            if (_rt_sync_source == InternalTempoSync) {
                generate_sync(offset, nframes);
            }
            _tempo_changed.store(true, std::memory_order_release);
        }
    }
    _last_tempo_frame = tap;
}

int Engine::generate_sync(nframes_t offset, nframes_t nframes)
{
    int hit = -1;
    if (offset > _buffersize || nframes > _buffersize - offset) {
        return hit;
    }
    float* buf = _internal_sync_buf + offset;
    const int source = _rt_sync_source;

    switch (source) {
    case NoSync:
        std::fill(buf, buf + nframes, 1.0f);
        break;
    case InternalTempoSync:
        generate_internal_sync(offset, nframes, hit);
        break;
    case MidiClockSync:
        generate_midi_sync(offset, nframes, hit);
        break;
    case JackSync:
        generate_transport_sync(offset, nframes, hit);
        break;
    default:
        if (source >= 1 && (size_t)source <= _rt_instances.size()) {
            generate_master_sync(offset, nframes, hit);
        }
        // A brother, the lowest bound or a master past the loop count: the
        // buffer keeps what it holds.
        break;
    }

    if (hit >= 0 && _tempo.load(std::memory_order_relaxed) < 400.0) {
        _beat_occurred.store(true, std::memory_order_release);
    }
    return hit;
}

void Engine::generate_internal_sync(nframes_t offset, nframes_t nframes, int& hit)
{
    float* buf = _internal_sync_buf;
    const nframes_t end = offset + nframes;
    const double qf = _quarter_note_frames;  // 0: no beats to count
    const double tf = _tempo_frames;

    if (!(tf > 0.0)) {
        double qc = _quarter_counter + nframes;
        if (qf > 0.0 && qc >= qf) {
            qc = frac(qc - qf) + 1.0;
            hit = (int)offset;
        }
        _quarter_counter = qc;
        std::fill(buf + offset, buf + end, 1.0f);
        return;
    }

    double tc = _tempo_counter;
    double qc = _quarter_counter;
    nframes_t i = offset;
    while (i < end) {
        while (i < end && tc < tf && (qf <= 0.0 || qc < qf)) {
            buf[i] = 0.0f;
            tc += 1.0;
            qc += 1.0;
            ++i;
        }
        // A pulse or beat due on the frame after the region falls on the
        // first frame of the next block, not nowhere.
        if (i >= end) {
            break;
        }
        if (qf > 0.0 && qc >= qf) {
            hit = (int)i;
            qc = frac(qc - qf) + 1.0;
        }
        if (tc >= tf) {
            buf[i] = 1.0f;
            ++i;
            tc = frac(tc - tf) + 1.0;
        }
    }
    _tempo_counter = tc;
    _quarter_counter = qc;
}

void Engine::generate_midi_sync(nframes_t offset, nframes_t nframes, int& hit)
{
    float* buf = _internal_sync_buf;
    const nframes_t end = offset + nframes;
    RingBuffer<Event>::rw_vector vec;
    _sync_queue->get_read_vector(&vec);
    const size_t count = vec.len[0] + vec.len[1];

    nframes_t pos = offset;
    for (int piece = 0; piece < 2; ++piece) {
        for (size_t k = 0; k < vec.len[piece]; ++k) {
            Event& ev = vec.buf[piece][k];
            // Only a tick or a start moves the clock; a stop is no beat.
            const bool tick = ev.Control == Event::MidiTick;
            if (!tick && ev.Control != Event::MidiStart) {
                continue;
            }
            // A late, doubled or out-of-block clock message still counts, at
            // the current point.
            const int fp = ev.FragmentPos();
            const nframes_t f = (fp < (int)pos || fp >= (int)end) ? pos : (nframes_t)fp;
            std::fill(buf + pos, buf + f, 0.0f);
            pos = f;

            if (tick) {
                ++_midi_ticks;
            } else {
                _midi_ticks = 0;
            }
            if (_midi_ticks % 24 == 0) {
                hit = (int)f;
                // A start begins a new count: the time since the last beat
                // before it is no beat interval.
                const double interval = _quarter_counter + (double)f;
                if (tick && interval > 0.0) {
                    const double t = avg_tempo(_samplerate * 60.0 / interval);
                    if (t != _tempo.load(std::memory_order_relaxed) && t > 0.0 && tempo_in_range(t)) {
                        set_tempo_rt(t);
                        _tempo_changed.store(true, std::memory_order_release);
                    }
                }
                _quarter_counter = -(double)f;
            }
            const uint32_t every = _midi_loop_tick ? _midi_loop_tick : 1;
            if (_midi_ticks % every == 0 && f < end) {
                buf[f] = 1.0f;
                pos = f + 1;
            }
        }
    }
    _sync_queue->increment_read_ptr(count);
    std::fill(buf + pos, buf + end, 0.0f);
    _quarter_counter += nframes;
}

void Engine::generate_transport_sync(nframes_t offset, nframes_t nframes, int& hit)
{
    std::fill(_internal_sync_buf + offset, _internal_sync_buf + offset + nframes, 0.0f);

    TransportInfo info;
    if (!_driver->get_transport_info(info)) {
        return;
    }
    if (info.bpm != _tempo.load(std::memory_order_relaxed) && info.bpm > 0.0 && tempo_in_range(info.bpm)) {
        set_tempo_rt(info.bpm);
        calculate_tempo_frames();
        _tempo_changed.store(true, std::memory_order_release);
    }
    if (info.state != TransportInfo::ROLLING) {
        return;
    }
    const double framepos = (double)info.framepos + offset;
    if (_tempo_frames > 0.0) {
        const long d = transport_boundary(framepos, nframes, _tempo_frames);
        if (d >= 0) {
            _internal_sync_buf[offset + (nframes_t)d] = 1.0f;
        }
    }
    if (_quarter_note_frames > 0.0) {
        const long d = transport_boundary(framepos, nframes, _quarter_note_frames);
        if (d >= 0) {
            hit = (int)d;
        }
    }
}

void Engine::generate_master_sync(nframes_t offset, nframes_t nframes, int& hit)
{
    std::fill(_internal_sync_buf + offset, _internal_sync_buf + offset + nframes, 1.0f);

    Looper* m = _rt_instances[(size_t)_rt_sync_source - 1];
    // A loop still being recorded has no length to take a tempo from.
    if (m->get_control_value(Event::State) == 2.0f) {
        return;
    }
    const uint32_t cycle = to_frames((double)m->get_control_value(Event::CycleLength) * _samplerate);
    const double t = cycle ? _samplerate * 30.0 * _eighth_cycle.load(std::memory_order_relaxed) / (double)cycle : 0.0;
    if (t != _tempo.load(std::memory_order_relaxed) && tempo_in_range(t)) {
        set_tempo_rt(t);
        calculate_tempo_frames();
        _tempo_changed.store(true, std::memory_order_release);
    }
    const uint32_t quarter = to_frames(_quarter_note_frames);
    if (quarter > 0) {
        const uint64_t pos = to_frames((double)m->get_control_value(Event::LoopPosition) * _samplerate);
        const uint64_t len = to_frames((double)m->get_control_value(Event::LoopLength) * _samplerate);
        if (len > 0) {
            const uint64_t x = (pos + nframes) % len;
            if (x % quarter <= nframes) {
                hit = 0;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Loops, engine side

bool Engine::push_loop_manage_to_rt(LoopManageEvent& ev)
{
    return _loop_manage_to_rt_queue && _loop_manage_to_rt_queue->write(&ev, 1) == 1;
}

bool Engine::push_loop_manage_to_main(LoopManageEvent& ev)
{
    return _loop_manage_to_main_queue && _loop_manage_to_main_queue->write(&ev, 1) == 1;
}

void Engine::flush_to_rt_backlog()
{
    size_t sent = 0;
    while (sent < _to_rt_backlog.size() && push_loop_manage_to_rt(_to_rt_backlog[sent])) {
        ++sent;
    }
    _to_rt_backlog.erase(_to_rt_backlog.begin(), _to_rt_backlog.begin() + (long)sent);
}

void Engine::queue_to_rt(const LoopManageEvent& ev)
{
    // Order matters (a loop's removal never overtakes its addition), so a
    // record waits behind any that did not fit before it.
    flush_to_rt_backlog();
    LoopManageEvent rec = ev;
    if (!_to_rt_backlog.empty() || !push_loop_manage_to_rt(rec)) {
        _to_rt_backlog.push_back(rec);
    }
}

bool Engine::is_removing(Looper* looper) const
{
    return std::find(_removing.begin(), _removing.end(), looper) != _removing.end();
}

void Engine::queue_removal(Looper* looper)
{
    _removing.push_back(looper);
    queue_to_rt(LoopManageEvent(LoopManageEvent::RemoveLoop, looper));
}

unsigned int Engine::loop_count()
{
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    return (unsigned int)_instances.size();
}

bool Engine::add_loop_locked(Looper* looper, int& index)
{
    if (_instances.size() >= MaxLoops) {
        std::cerr << "cannot add another loop: at most " << MaxLoops << " loops" << std::endl;
        delete looper;
        return false;
    }
    looper->set_port(Looper::EighthPerCycleLoop, _eighth_cycle.load(std::memory_order_relaxed));
    _instances.push_back(looper);
    count_loops();
    queue_to_rt(LoopManageEvent(LoopManageEvent::AddLoop, looper));
    index = (int)looper->get_index();
    return true;
}

bool Engine::add_loop(unsigned int channels, float loopsecs, bool discrete)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    int index = -1;
    bool loading = false;
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        if (!_driver) {
            std::cerr << "can't create a new loop!" << std::endl;
            return false;
        }
        if (_instances.size() >= MaxLoops) {
            std::cerr << "cannot add another loop: at most " << MaxLoops << " loops" << std::endl;
            return false;
        }
        Looper* looper = new Looper(_driver, (unsigned int)_instances.size(), channels, loopsecs, discrete);
        if (!(*looper)()) {
            std::cerr << "can't create a new loop!" << std::endl;
            delete looper;
            return false;
        }

        // A new loop quantizes and rounds like the first one.
        float quantize = 0.0f, round = 0.0f, relsync = 0.0f;
        if (!_instances.empty()) {
            quantize = _instances[0]->get_control_value(Event::Quantize);
            round = _instances[0]->get_control_value(Event::Round);
            relsync = _instances[0]->get_control_value(Event::RelativeSync);
        }
        looper->set_port(Looper::Quantize, quantize);
        looper->set_port(Looper::Round, round);
        looper->set_port(Looper::RelativeSync, relsync);
        looper->set_port(Looper::TempoInput, (float)_tempo.load(std::memory_order_relaxed));

        if (!add_loop_locked(looper, index)) {
            return false;
        }
        loading = _loading;
    }
    LoopAdded(index, !loading);
    return true;
}

bool Engine::add_loop(Looper* looper)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    return add_built_loop(looper);
}

bool Engine::add_built_loop(Looper* looper)
{
    if (!looper) {
        return false;
    }
    int index = -1;
    bool loading = false;
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        if (!add_loop_locked(looper, index)) {
            return false;
        }
        loading = _loading;
    }
    LoopAdded(index, !loading);
    return true;
}

bool Engine::add_loop_request(int channels, float secs, bool discrete)
{
    if (channels == 0) {
        channels = _def_channel_cnt;
    }
    if (secs == 0.0f) {
        secs = _def_loop_secs;
    }
    if (channels < 1 || channels > (int)Looper::MaxChannels) {
        std::cerr << "cannot add a loop of " << channels << " channels: 1 to " << Looper::MaxChannels
                  << " are possible" << std::endl;
        return false;
    }
    if (!std::isfinite(secs) || secs <= 0.0f || secs > Looper::MaxLoopSecs) {
        std::cerr << "cannot add a loop of " << secs << " seconds: at most " << Looper::MaxLoopSecs
                  << " are possible" << std::endl;
        return false;
    }
    return add_loop((unsigned int)channels, secs, discrete);
}

bool Engine::remove_loop_request(int& index)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    if (index == -1) {
        index = (int)_instances.size() - 1;
    }
    if (index < 0 || (size_t)index >= _instances.size()) {
        return false;
    }
    Looper* looper = _instances[(size_t)index];
    if (!is_removing(looper)) {
        queue_removal(looper);
    }
    return true;
}

void Engine::remove_all_loops()
{
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    while (!_instances.empty()) {
        Looper* looper = _instances.back();
        _instances.pop_back();
        count_loops();
        if (!is_removing(looper)) {
            queue_removal(looper);
        }
    }
}

void Engine::delete_released_loops()
{
    unsigned int deleted = 0;
    bool loading = false;
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        flush_to_rt_backlog();
        LoopManageEvent rec;
        while (_loop_manage_to_main_queue && _loop_manage_to_main_queue->read(&rec, 1) == 1) {
            if (rec.etype != LoopManageEvent::RemoveLoop) {
                continue;
            }
            // Only a looper whose removal we handed over, and only once.
            auto it = std::find(_removing.begin(), _removing.end(), rec.looper);
            if (it == _removing.end()) {
                continue;
            }
            _removing.erase(it);
            auto listed = std::find(_instances.begin(), _instances.end(), rec.looper);
            if (listed != _instances.end()) {
                _instances.erase(listed);
                count_loops();
            }
            delete rec.looper;
            ++deleted;
        }
        loading = _loading;
    }
    if (!loading) {
        for (unsigned int k = 0; k < deleted; ++k) {
            LoopRemoved();
        }
    }
}

// ---------------------------------------------------------------------------
// Global parameters (engine thread)

bool Engine::get_global_param(const std::string& name, float& value)
{
    if (name == "dry") {
        value = _curr_common_dry.load(std::memory_order_relaxed);
    } else if (name == "wet") {
        value = _curr_common_wet.load(std::memory_order_relaxed);
    } else if (name == "input_gain") {
        value = _curr_input_gain.load(std::memory_order_relaxed);
    } else if (name == "sync_source") {
        value = (float)_sync_source.load(std::memory_order_relaxed);
    } else if (name == "tempo") {
        value = (float)_tempo.load(std::memory_order_relaxed);
    } else if (name == "eighth_per_cycle") {
        value = _eighth_cycle.load(std::memory_order_relaxed);
    } else {
        return false;
    }
    return true;
}

bool Engine::set_global_param(const std::string& name, float value)
{
    std::atomic<float>* gain = nullptr;
    if (name == "dry") {
        gain = &_target_common_dry;
    } else if (name == "wet") {
        gain = &_target_common_wet;
    } else if (name == "input_gain") {
        gain = &_target_input_gain;
    }
    if (gain) {
        // A NaN or infinity would reach the host's output.
        if (!std::isfinite(value)) {
            return false;
        }
        gain->store(value, std::memory_order_relaxed);
        return true;
    }

    if (name == "sync_source") {
        if (!std::isfinite(value) || !(std::trunc(value) > (float)FIRST_SYNC_SOURCE) ||
            !(value <= (float)loop_count())) {
            return false;
        }
        _sync_source.store((int)std::lround(value), std::memory_order_release);
        update_sync_source();
        return true;
    }
    if (name == "tempo") {
        return set_tempo((double)value);
    }
    if (name == "eighth_per_cycle") {
        const bool ok = eighth_in_range(value);
        if (ok) {
            _eighth_cycle.store(value, std::memory_order_relaxed);
        }
        // The MIDI tick is worked out again in any case.
        request(ReqEighths);
        return ok;
    }
    return false;
}

bool Engine::set_tempo(double tempo)
{
    if (!(tempo > 0.0) || !tempo_in_range(tempo)) {
        return false;
    }
    _tempo.store(tempo, std::memory_order_relaxed);
    request(ReqTempo);
    return true;
}

void Engine::update_sync_source()
{
    request(ReqSyncSource);
}

float Engine::get_control_value(Event::control_t ctrl, int8_t instance)
{
    if (instance == -2) {
        switch (ctrl) {
        case Event::InPeakMeter:
            return _common_input_peak.load(std::memory_order_relaxed);
        case Event::OutPeakMeter:
            return _common_output_peak.load(std::memory_order_relaxed);
        case Event::DryLevel:
            return _curr_common_dry.load(std::memory_order_relaxed);
        case Event::WetLevel:
            return _curr_common_wet.load(std::memory_order_relaxed);
        case Event::InputGain:
            return _curr_input_gain.load(std::memory_order_relaxed);
        default:
            return 0.0f;
        }
    }
    if (instance >= 0) {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        if ((size_t)instance < _instances.size()) {
            return _instances[(size_t)instance]->get_control_value(ctrl);
        }
    }
    return 0.0f;
}

// ---------------------------------------------------------------------------
// What the main loop drains (engine thread)

EventNonRT* Engine::pop_nonrt_event()
{
    EventNonRT* ev = nullptr;
    if (!_nonrt_event_queue || _nonrt_event_queue->read(&ev, 1) != 1) {
        return nullptr;
    }
    return ev;
}

bool Engine::pop_update_event(Event& ev)
{
    return _nonrt_update_event_queue && _nonrt_update_event_queue->read(&ev, 1) == 1;
}

int Engine::wait_for_event(const struct timespec& until)
{
    Kvo::LockMonitor lm(_event_loop_lock, __LINE__, __FILE__);
    int result = 0;
    if (!_wake_pending) {
        result = pthread_cond_timedwait(&_event_cond, _event_loop_lock.mutex(), &until);
    }
    _wake_pending = false;
    return result;
}

} // namespace Quillomat
