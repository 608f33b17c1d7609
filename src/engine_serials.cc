// Loop serials: how an event finds the loop it named, also a loop on its way
// in (an add request reserves its serial as it is queued), and the audio
// thread's wait for such a loop.
#include <algorithm>
#include <iostream>

#include "engine.h"
#include "event_nonrt.h"
#include "looper.h"

namespace Quillomat {

ConfigLoopEvent::~ConfigLoopEvent()
{
    if (reserved_by && serial) {
        reserved_by->give_up_serial(serial);
    }
}

// ---------------------------------------------------------------------------
// Engine side

uint32_t Engine::draw_serial_locked()
{
    return ++_drawn_serial;
}

void Engine::reserve_serial(EventNonRT* request)
{
    auto* add = dynamic_cast<ConfigLoopEvent*>(request);
    if (!add || add->type != ConfigLoopEvent::Add || add->serial) {
        return;
    }
    // The settled serial stays as it is: the new one is the highest drawn.
    Kvo::LockMonitor sl(_serial_lock, __LINE__, __FILE__);
    if (_reserved_count < MaxLoops) {
        add->serial = draw_serial_locked();
        add->reserved_by = this;
        _reserved[_reserved_count++] = add->serial;
    }
}

void Engine::give_up_serial(uint32_t serial)
{
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    {
        Kvo::LockMonitor sl(_serial_lock, __LINE__, __FILE__);
        uint32_t* const end = _reserved + _reserved_count;
        uint32_t* const it = std::find(_reserved, end, serial);
        if (it == end) {
            return;  // its loop took it
        }
        std::copy(it + 1, end, it);
        --_reserved_count;
    }
    settle_serials_locked();
}

void Engine::count_loops(uint32_t landed)
{
    // The producers see a loop on its way in move from the reserved places to
    // the listed ones in one step.
    Kvo::LockMonitor sl(_serial_lock, __LINE__, __FILE__);
    if (landed) {
        uint32_t* const end = _reserved + _reserved_count;
        uint32_t* const it = std::find(_reserved, end, landed);
        if (it != end) {
            std::copy(it + 1, end, it);
            --_reserved_count;
        }
    }
    const size_t n = _instances.size();
    const unsigned int before = _loop_count.load(std::memory_order_relaxed);
    uint32_t last = _last_serial.load(std::memory_order_relaxed);
    for (size_t i = 0; i < n; ++i) {
        _serials[i].store(_instances[i]->serial(), std::memory_order_release);
        last = std::max(last, _instances[i]->serial());
    }
    for (size_t i = n; i < before; ++i) {
        _serials[i].store(0, std::memory_order_release);
    }
    _loop_count.store((unsigned int)n, std::memory_order_release);
    _last_serial.store(last, std::memory_order_release);
}

void Engine::settle_serials_locked()
{
    // A loop is in the queue towards the audio thread, or never will be,
    // unless its serial is reserved or its record waits in the backlog.
    Kvo::LockMonitor sl(_serial_lock, __LINE__, __FILE__);
    uint32_t settled = _drawn_serial;
    for (size_t k = 0; k < _reserved_count; ++k) {
        settled = std::min(settled, _reserved[k] - 1);
    }
    for (const LoopManageEvent& rec : _to_rt_backlog) {
        if (rec.etype == LoopManageEvent::AddLoop && rec.looper) {
            settled = std::min(settled, rec.looper->serial() - 1);
        }
    }
    _settled_serial.store(settled, std::memory_order_release);
}

void Engine::report_dropped_waiting()
{
    const uint32_t n = _waiting_dropped.exchange(0, std::memory_order_relaxed);
    if (n > 0) {
        std::cerr << "commands for loops on their way in: " << n << " dropped, more than " << WaitingEvents
                  << " waited" << std::endl;
    }
}

// ---------------------------------------------------------------------------
// Audio thread

bool Engine::in_place(uint32_t serial) const
{
    for (const Looper* l : _rt_instances) {
        if (l->serial() == serial) {
            return true;
        }
    }
    return false;
}

bool Engine::wait_for_loop(const Event& ev)
{
    if (ev.Instance < 0 || ev.Serial <= _rt_settled || in_place(ev.Serial)) {
        return false;
    }
    if (_waiting_count < WaitingEvents) {
        _waiting[_waiting_count++] = ev;
    } else {
        _waiting_dropped.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

void Engine::deliver_waiting(int master)
{
    size_t kept = 0;
    for (size_t k = 0; k < _waiting_count; ++k) {
        Event& ev = _waiting[k];
        if (in_place(ev.Serial)) {
            // Where the block starts, before anything that came after it.
            run_loops(0, 0, master, &ev);
        } else if (ev.Serial > _rt_settled) {
            _waiting[kept++] = ev;
        }
        // Otherwise its add failed, or its loop has come and gone.
    }
    _waiting_count = kept;
}

} // namespace Quillomat
