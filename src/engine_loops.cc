// Loops added and removed while audio runs, handed between the engine and audio
// threads, and the memory budget they share.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <new>
#include <sstream>
#include <thread>

#include "engine.h"
#include "looper.h"

namespace Quillomat {

namespace {

typedef std::chrono::steady_clock Clock;

// No block for this long, and for this many of the host's block periods:
// the host has stopped rendering.
const std::chrono::milliseconds kAudioIdle(50);
const double kIdlePeriods = 3.0;
// Loops on their way out come back with the audio thread's next block, or
// once the engine side has seen that the host stopped (audio_idle_after):
// they are waited for this long, and for this many block periods, at most.
const std::chrono::milliseconds kOutgoingWait(200);
const double kOutgoingPeriods = 4.0;
// The audio thread says nothing when it hands loops back: the engine thread
// looks again this often while it waits for them.
const std::chrono::milliseconds kOutgoingPoll(1);

// Loopers freed per hold of the instance lock, taken into an array on the
// stack: freeing them allocates nothing.
const size_t kFreeBatch = 64;

// Room for n more elements, grown by half at least (so that a run of single
// removals does not copy the list each time); throws before anything changes.
template <class T>
void reserve_more(std::vector<T>& v, size_t n)
{
    if (v.capacity() - v.size() < n) {
        v.reserve(v.size() + std::max(n, v.size() / 2));
    }
}

// Lets go of a lock held by the caller for a wait, and takes it again
// however the wait ends, a throw included: the caller's guard still holds it.
class LetGo {
public:
    explicit LetGo(Kvo::NonBlockingLock& lock) : _lock(lock) {}
    ~LetGo()
    {
        if (_away) {
            _lock.lock();
        }
    }
    LetGo(const LetGo&) = delete;
    LetGo& operator=(const LetGo&) = delete;
    void now()
    {
        _lock.unlock();
        _away = true;
    }

private:
    Kvo::NonBlockingLock& _lock;
    bool _away = false;
};

size_t whole_megabytes_up(size_t bytes)
{
    return (bytes >> 20) + ((bytes & ((1u << 20) - 1)) ? 1 : 0);
}

} // namespace

// ---------------------------------------------------------------------------
// Loops on the audio thread

void Engine::note_block(nframes_t nframes)
{
    _blocks.fetch_add(1, std::memory_order_relaxed);
    // A host may split its period into blocks of any size: the longest of
    // the last second or two stands for its period.
    _window_longest = std::max(_window_longest, nframes);
    _window_frames += nframes;
    if ((double)_window_frames >= _samplerate) {
        _window_longest_before = _window_longest;
        _window_longest = 0;
        _window_frames = 0;
    }
    _longest_block_frames.store(std::max(_window_longest, _window_longest_before), std::memory_order_relaxed);
}

size_t Engine::process_rt_loop_manage_events()
{
    size_t taken = 0;
    bool changed = false;
    Looper* released[LoopManageQueueSize];
    size_t nreleased = 0;
    // Read before the queue: every loop settled by then has its record in
    // what is read below.
    const uint32_t settled = _settled_serial.load(std::memory_order_acquire);

    if (_ok.load(std::memory_order_acquire)) {
        // A removal is taken only when it can be handed back at once.
        size_t room = _loop_manage_to_main_queue->write_space();
        if (room > sizeof(released) / sizeof(released[0])) {
            room = sizeof(released) / sizeof(released[0]);
        }
        RingBuffer<LoopManageEvent>::rw_vector vec;
        _loop_manage_to_rt_queue->get_read_vector(&vec);
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
        if (!stop) {
            _rt_settled = settled;
        }
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
    return taken;
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
    if (sent > 0) {
        settle_serials_locked();
    }
}

void Engine::queue_to_rt(const LoopManageEvent& ev)
{
    // Order matters (a loop's removal never overtakes its addition), so a
    // record waits behind any that did not fit before it. The caller has
    // made room for it (reserve_list_room).
    flush_to_rt_backlog();
    LoopManageEvent rec = ev;
    if (!_to_rt_backlog.empty() || !push_loop_manage_to_rt(rec)) {
        _to_rt_backlog.push_back(rec);
    }
    if (rec.etype == LoopManageEvent::AddLoop) {
        settle_serials_locked();
    }
}

void Engine::reserve_list_room(size_t adds, size_t removals)
{
    _instances.reserve(MaxLoops);
    reserve_more(_removing, removals);
    reserve_more(_to_rt_backlog, adds + removals);
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

size_t Engine::leaving_locked() const
{
    size_t n = 0;
    for (Looper* l : _instances) {
        n += is_removing(l) ? 1 : 0;
    }
    return n;
}

unsigned int Engine::loop_count()
{
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    return (unsigned int)_instances.size();
}

bool Engine::room_for_a_loop_locked() const
{
    if (_instances.size() < MaxLoops) {
        return true;
    }
    std::cerr << "cannot add another loop: at most " << MaxLoops << " loops" << std::endl;
    return false;
}

bool Engine::add_loop_locked(Looper* looper, int& index, uint32_t serial)
{
    if (!room_for_a_loop_locked()) {
        delete looper;
        return false;
    }
    try {
        reserve_list_room(1, 0);
    } catch (...) {
        delete looper;
        throw;
    }
    looper->set_port(Looper::EighthPerCycleLoop, _eighth_cycle.load(std::memory_order_relaxed));
    if (!serial) {
        Kvo::LockMonitor sl(_serial_lock, __LINE__, __FILE__);
        serial = draw_serial_locked();
    }
    looper->set_serial(serial);
    _instances.push_back(looper);
    count_loops(serial);
    queue_to_rt(LoopManageEvent(LoopManageEvent::AddLoop, looper));
    index = (int)looper->get_index();
    return true;
}

void Engine::announce_added(int index, bool send_config)
{
    try {
        LoopAdded(index, send_config);
    } catch (const std::bad_alloc&) {
    }
}

void Engine::announce_removed()
{
    try {
        LoopRemoved();
    } catch (const std::bad_alloc&) {
    }
}

bool Engine::add_loop(unsigned int channels, float loopsecs, bool discrete, uint32_t serial)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        if (!_driver) {
            std::cerr << "can't create a new loop!" << std::endl;
            return false;
        }
    }
    // Before a byte is built.
    std::ostringstream what;
    what << "add a loop of " << channels << " channels and " << loopsecs << " seconds";
    if (!make_room(loop_memory(channels, loopsecs), what.str(), 1)) {
        return false;
    }
    int index = -1;
    bool loading = false;
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
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

        if (!add_loop_locked(looper, index, serial)) {
            return false;
        }
        loading = _loading;
    }
    announce_added(index, !loading);
    return true;
}

bool Engine::add_loop(Looper* looper)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    if (looper && !make_room(looper->memory_bytes(), "add loop " + std::to_string(looper->get_index()), 1)) {
        delete looper;
        return false;
    }
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
    announce_added(index, !loading);
    return true;
}

bool Engine::add_loop_request(int channels, float secs, bool discrete, uint32_t serial)
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
        std::cerr << "cannot add a loop of " << secs << " seconds: more than 0 and at most " << Looper::MaxLoopSecs
                  << " are possible" << std::endl;
        return false;
    }
    return add_loop((unsigned int)channels, secs, discrete, serial);
}

bool Engine::remove_loop_request(int& index)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    if (index == -1) {
        // A burst of such requests takes one loop each.
        for (size_t k = _instances.size(); k-- > 0;) {
            if (!is_removing(_instances[k])) {
                index = (int)k;
                break;
            }
        }
    }
    if (index < 0 || (size_t)index >= _instances.size()) {
        return false;
    }
    Looper* looper = _instances[(size_t)index];
    if (!is_removing(looper)) {
        reserve_list_room(0, 1);
        queue_removal(looper);
    }
    return true;
}

void Engine::remove_all_loops()
{
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    reserve_list_room(0, _instances.size());
    while (!_instances.empty()) {
        Looper* looper = _instances.back();
        _instances.pop_back();
        count_loops();
        if (!is_removing(looper)) {
            queue_removal(looper);
        }
    }
}

size_t Engine::take_released_locked(Looper** out, size_t n, size_t max)
{
    LoopManageEvent rec;
    while (n < max && _loop_manage_to_main_queue && _loop_manage_to_main_queue->read(&rec, 1) == 1) {
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
        out[n++] = rec.looper;
    }
    return n;
}

bool Engine::audio_idle()
{
    // The audio thread only counts; when the count last moved is ours to see.
    const uint64_t blocks = _blocks.load(std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    if (blocks != _seen_blocks) {
        _seen_blocks = blocks;
        _blocks_moved_at = now;
        return false;
    }
    if (blocks == 0) {
        return true;
    }
    return now - _blocks_moved_at >= audio_idle_after();
}

std::chrono::duration<double> Engine::longest_block_period() const
{
    const nframes_t frames = _longest_block_frames.load(std::memory_order_relaxed);
    return std::chrono::duration<double>(_samplerate > 0 ? (double)frames / _samplerate : 0.0);
}

Clock::duration Engine::audio_idle_after() const
{
    // A host that renders large blocks comes back seldom: idle is several of
    // its own block periods without one.
    return std::max<Clock::duration>(
        kAudioIdle, std::chrono::duration_cast<Clock::duration>(longest_block_period() * kIdlePeriods));
}

size_t Engine::reclaim_locked(Looper** out, size_t n, size_t max)
{
    // Only the lists change under the audio thread's lock, which a block
    // that starts meanwhile finds taken; the looper is freed after it. A
    // pass hands back at most a queue's worth.
    Kvo::TentativeLockMonitor rt(_rt_lock, __LINE__, __FILE__);
    while (rt.locked() && !_removing.empty() && max - n >= LoopManageQueueSize &&
           process_rt_loop_manage_events() > 0) {
        n = take_released_locked(out, n, max);
        flush_to_rt_backlog();
    }
    return n;
}

size_t Engine::delete_released_loops()
{
    size_t freed = 0;
    for (;;) {
        Looper* doomed[kFreeBatch];
        size_t n = 0;
        {
            Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
            flush_to_rt_backlog();
            n = take_released_locked(doomed, 0, kFreeBatch);
            if (!_removing.empty() && audio_idle()) {
                n = reclaim_locked(doomed, n, kFreeBatch);
            }
            for (size_t k = 0; k < n; ++k) {
                _freeing_bytes += doomed[k]->memory_bytes();
            }
        }
        // Freed outside every lock: a big loop takes a while to give back.
        for (size_t k = 0; k < n; ++k) {
            const size_t bytes = doomed[k]->memory_bytes();
            delete doomed[k];
            _freeing_bytes -= bytes;
        }
        if (n > 0) {
            Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
            pthread_cond_broadcast(&_freed_cond);
        }
        // Also while another thread loads a session: each deletion is told once.
        for (size_t k = 0; k < n; ++k) {
            announce_removed();
        }
        if (n == 0) {
            return freed;
        }
        freed += n;
    }
}

// ---------------------------------------------------------------------------
// The loop memory budget

size_t Engine::memory_budget_from_environment()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    const size_t fallback = pages > 0 && page_size > 0 ? (size_t)pages * (size_t)page_size / 4 : SIZE_MAX;
    const char* env = getenv("QM_MEMORY_BUDGET");
    if (!env) {
        return fallback;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long mb = strtoull(env, &end, 10);
    if (env[0] >= '0' && env[0] <= '9' && *end == '\0' && errno == 0 && mb > 0 && mb <= (SIZE_MAX >> 20)) {
        return (size_t)mb << 20;
    }
    std::cerr << "QM_MEMORY_BUDGET must be a whole number of megabytes above 0, not \"" << env
              << "\": the loop memory budget is " << (fallback >> 20) << " MB" << std::endl;
    return fallback;
}

size_t Engine::memory_held_locked() const
{
    size_t held = _freeing_bytes;
    for (Looper* l : owned_loopers()) {
        held += l->memory_bytes();
    }
    return held;
}

size_t Engine::outgoing_memory_locked() const
{
    size_t outgoing = _freeing_bytes;
    for (Looper* l : _removing) {
        outgoing += l->memory_bytes();
    }
    return outgoing;
}

size_t Engine::memory_held()
{
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    return memory_held_locked();
}

size_t Engine::loop_memory(unsigned int channels, float loopsecs) const
{
    return Looper::memory_bytes(channels, loopsecs, (nframes_t)_samplerate, _buffersize);
}

Clock::duration Engine::outgoing_wait() const
{
    return std::max<Clock::duration>(
        kOutgoingWait, std::chrono::duration_cast<Clock::duration>(longest_block_period() * kOutgoingPeriods));
}

bool Engine::make_room(size_t need, const std::string& what, unsigned int loops)
{
    const Clock::time_point until = Clock::now() + outgoing_wait();
    for (;;) {
        const bool engine_thread = on_engine_thread();
        // Taken again only after _instance_lock, in the usual order.
        LetGo session(_session_lock);
        {
            Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
            const size_t held = memory_held_locked();
            const size_t free = _memory_budget > held ? _memory_budget - held : 0;
            const size_t listed = _instances.size();
            const bool counted = listed + loops <= MaxLoops;
            if (need <= free && counted) {
                return true;
            }
            // Worth waiting for only when the loops on their way out make the
            // difference.
            const size_t staying = held - outgoing_memory_locked();
            const bool then_fits = staying < _memory_budget && need <= _memory_budget - staying;
            const bool then_counted = listed - leaving_locked() + loops <= MaxLoops;
            if (!then_fits || !then_counted || Clock::now() >= until) {
                if (!counted) {
                    room_for_a_loop_locked();  // says why
                }
                if (need > free) {
                    std::cerr << "cannot " << what << ": it needs " << whole_megabytes_up(need) << " MB and only "
                              << (free >> 20)
                              << " MB of the loop memory budget are free; remove loops, or raise QM_MEMORY_BUDGET"
                              << std::endl;
                }
                return false;
            }
            session.now();
            if (!engine_thread) {
                // The steady clock counts as the condition's CLOCK_MONOTONIC does.
                const long long ns =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
                const timespec at = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
                pthread_cond_timedwait(&_freed_cond, _instance_lock.mutex(), &at);
            }
        }
        if (engine_thread && delete_released_loops() == 0) {
            std::this_thread::sleep_for(kOutgoingPoll);
        }
    }
}

} // namespace Quillomat
