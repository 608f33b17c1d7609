// The engine's set-up and clean-up, and the queues that carry events to its threads.
#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "control_osc.h"
#include "event_nonrt.h"
#include "looper.h"

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

// Whether a control change is news for the engine thread, and with what
// value: subscribers hear what was taken, as it was taken. Of the engine's
// own controls (instance -2) the audio path takes only the three levels, and
// the tempo a tap yields is told once measured. A save request is work, not
// news.
bool for_engine_thread(Event::control_t ctrl, float& value, int8_t instance)
{
    if (ctrl == Event::SaveLoop) {
        return true;
    }
    if (instance != -2) {
        return Looper::keeps(ctrl, value);
    }
    switch (ctrl) {
    case Event::DryLevel:
    case Event::WetLevel:
    case Event::InputGain:
        return std::isfinite(value);
    default:
        return false;
    }
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

} // namespace

Engine::Engine()
    : _driver(nullptr),
      _osc(nullptr),
      _loop_count(0),
      _last_serial(0),
      _drawn_serial(0),
      _reserved_count(0),
      _settled_serial(0),
      _rt_settled(0),
      _waiting_count(0),
      _waiting_dropped(0),
      _memory_budget(0),
      _blocks(0),
      _longest_block_frames(0),
      _window_frames(0),
      _window_longest(0),
      _window_longest_before(0),
      _seen_blocks(0),
      _freeing_bytes(0),
      _engine_thread(std::thread::id()),
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
      _tempo_frames(0.0),
      _quarter_note_frames(0.0),
      _quarter_counter(0.0),
      _beat_count(0),
      _midi_ticks(0),
      _midi_loop_tick(12),
      _running_frames(0),
      _tempo_changed(false),
      _beat_occurred(false),
      _beat_frame(0),
      _running_tempo_sum(0.0),
      _avgindex(TEMPO_WINDOW_SIZE - 1),
      _avgfilled(0),
      _loading(false)
{
    for (std::atomic<uint32_t>& s : _serials) {
        s.store(0, std::memory_order_relaxed);
    }
    pthread_cond_init(&_event_cond, nullptr);
    pthread_condattr_t steady;
    pthread_condattr_init(&steady);
    pthread_condattr_setclock(&steady, CLOCK_MONOTONIC);
    pthread_cond_init(&_freed_cond, &steady);
    pthread_condattr_destroy(&steady);
    clear_avg_tempo();
}

Engine::~Engine()
{
    set_midi_bridge(nullptr);
    if (_driver || _osc) {
        cleanup();
    }
    free_buffers();
    pthread_cond_destroy(&_event_cond);
    pthread_cond_destroy(&_freed_cond);
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
    _loop_manage_to_rt_queue = new RingBuffer<LoopManageEvent>(LoopManageQueueSize);
    _loop_manage_to_main_queue = new RingBuffer<LoopManageEvent>(LoopManageQueueSize);

    _instances.reserve(MaxLoops);
    _rt_instances.reserve(kRtListCapacity);
    _memory_budget = memory_budget_from_environment();
    _blocks.store(0);
    _longest_block_frames.store(0);
    _window_frames = _window_longest = _window_longest_before = 0;
    _seen_blocks = 0;

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
        settle_serials_locked();
    }
    _rt_instances.clear();
    _waiting_count = 0;

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

uint32_t Engine::serial_at(int8_t instance, bool may_wait)
{
    if (instance == -1) {
        return _last_serial.load(std::memory_order_acquire);
    }
    if (instance < 0) {
        return 0;
    }
    // The list may change meanwhile: each slot is read once, and holds what
    // it held before the change or after.
    const size_t i = (size_t)instance;
    if (i < _loop_count.load(std::memory_order_acquire)) {
        return _serials[i].load(std::memory_order_acquire);
    }
    // Past the listed loops: a loop on its way in, seen with the list as one.
    if (may_wait) {
        _serial_lock.lock();
    } else if (!try_lock_briefly(_serial_lock)) {
        return 0;
    }
    const size_t listed = _loop_count.load(std::memory_order_relaxed);
    uint32_t serial = 0;
    if (i < listed) {
        serial = _serials[i].load(std::memory_order_relaxed);
    } else if (i - listed < _reserved_count) {
        serial = _reserved[i - listed];
    }
    _serial_lock.unlock();
    return serial;
}

bool Engine::do_push_command_event(RingBuffer<Event>* queue, Event::type_t type, Event::command_t cmd,
                                   int8_t instance, uint32_t serial, long framepos)
{
    Event* ev = claim_event(queue, framepos);
    if (!ev) {
        return false;
    }
    ev->Type = type;
    ev->Command = cmd;
    ev->Instance = instance;
    ev->Serial = serial;
    queue->increment_write_ptr(1);
    return true;
}

bool Engine::do_push_control_event(RingBuffer<Event>* queue, Event::type_t type, Event::control_t ctrl, float value,
                                   int8_t instance, uint32_t serial, long framepos, int src)
{
    Event* ev = claim_event(queue, framepos);
    if (!ev) {
        return false;
    }
    ev->Type = type;
    ev->Control = ctrl;
    ev->Value = value;
    ev->Instance = instance;
    ev->Serial = serial;
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
    return do_push_command_event(_event_queue, type, cmd, instance, serial_at(instance, true), -1);
}

bool Engine::push_midi_command_event(Event::type_t type, Event::command_t cmd, int8_t instance, long framepos)
{
    return do_push_command_event(_midi_event_queue, type, cmd, instance, serial_at(instance, false), framepos);
}

bool Engine::push_control_event(Event::type_t type, Event::control_t ctrl, float value, int8_t instance, int src)
{
    // The update names the loop the change went to.
    const uint32_t serial = serial_at(instance, true);
    const bool queued = do_push_control_event(_event_queue, type, ctrl, value, instance, serial, -1, 0);
    if (for_engine_thread(ctrl, value, instance) && queued) {
        Kvo::LockMonitor lm(_update_write_lock, __LINE__, __FILE__);
        do_push_control_event(_nonrt_update_event_queue, type, ctrl, value, instance, serial, -1, src);
    }
    wake_engine_thread(false);
    return queued;
}

bool Engine::push_midi_control_event(Event::type_t type, Event::control_t ctrl, float value, int8_t instance,
                                     long framepos)
{
    const uint32_t serial = serial_at(instance, false);
    const bool queued = do_push_control_event(_midi_event_queue, type, ctrl, value, instance, serial, framepos, 0);
    if (queued && for_engine_thread(ctrl, value, instance) && try_lock_briefly(_update_write_lock)) {
        do_push_control_event(_nonrt_update_event_queue, type, ctrl, value, instance, serial, -1, 0);
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
        do_push_control_event(_sync_queue, Event::type_sync, ctrl, 0.0f, (int8_t)-1, 0, framepos, 0);
    _sync_write_lock.unlock();
    return queued;
}

bool Engine::push_nonrt_event(EventNonRT* event)
{
    if (!event) {
        return false;
    }
    // Before anything that follows the request can name the new loop.
    reserve_serial(event);
    if (!_nonrt_event_queue || _nonrt_event_queue->write(&event, 1) != 1) {
        delete event;
        return false;
    }
    wake_engine_thread(true);
    return true;
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
