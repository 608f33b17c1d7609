// The engine thread: its main loop, the execution of every request, and the
// MIDI bridge's hand-over of learned bindings.
#include <libxml/threads.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <kvo/transmitter.h>

#include "command_map.h"
#include "control_osc.h"
#include "engine.h"
#include "looper.h"
#include "midi_bridge.h"

namespace Quillomat {

namespace {

// The audio thread never wakes the engine thread (that would take a system
// call), so its tempo and beat flags are polled at least this often.
const std::chrono::milliseconds kPollInterval(10);
const std::chrono::milliseconds kAutoUpdateInterval(100);

// Out of memory, what was asked fails and the engine goes on; how many did
// is said at most every ten seconds.
class OutOfMemory {
public:
    template <class Work>
    void refuse(Work&& work)
    {
        try {
            work();
        } catch (const std::bad_alloc&) {
            ++_failed;
        }
    }
    void report(std::chrono::steady_clock::time_point now)
    {
        if (_failed && now >= _next) {
            fprintf(stderr, "engine: out of memory, %zu requests failed\n", _failed);
            _failed = 0;
            _next = now + std::chrono::seconds(10);
        }
    }

private:
    size_t _failed = 0;
    std::chrono::steady_clock::time_point _next;
};

// Options are words separated by blanks or commas; word must be one of them,
// not a part of one ("nonexclusive" is not "exclusive").
bool has_option(const std::string& options, const char* word)
{
    static const char seps[] = " \t\r\n,";
    std::string::size_type begin = options.find_first_not_of(seps);
    while (begin != std::string::npos) {
        const std::string::size_type end = options.find_first_of(seps, begin);
        if (options.compare(begin, end - begin, word) == 0) {
            return true;
        }
        begin = options.find_first_not_of(seps, end);
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// MIDI bridge

void Engine::set_midi_bridge(MidiBridge* bridge)
{
    // A bridge that owns a port may already be emitting on its own thread,
    // always under its bindings lock: change its connections under it too.
    if (_midi_bridge) {
        Kvo::LockMonitor lm(_midi_bridge->bindings_lock(), __LINE__, __FILE__);
        for (sigc::connection& c : _bridge_connections) {
            c.disconnect();
        }
    }
    _bridge_connections.clear();
    _midi_bridge = bridge;
    if (!bridge) {
        return;
    }
    Kvo::LockMonitor lm(bridge->bindings_lock(), __LINE__, __FILE__);
    _bridge_connections.push_back(bridge->BindingLearned.connect(sigc::mem_fun(*this, &Engine::binding_learned)));
    _bridge_connections.push_back(
        bridge->NextMidiReceived.connect(sigc::mem_fun(*this, &Engine::next_midi_received)));
    _bridge_connections.push_back(
        bridge->MidiCommandEvent.connect(sigc::hide_return(sigc::mem_fun(*this, &Engine::push_midi_command_event))));
    _bridge_connections.push_back(
        bridge->MidiControlEvent.connect(sigc::hide_return(sigc::mem_fun(*this, &Engine::push_midi_control_event))));
    _bridge_connections.push_back(
        bridge->MidiSyncEvent.connect(sigc::hide_return(sigc::mem_fun(*this, &Engine::push_sync_event))));
}

void Engine::binding_learned(const MidiBindInfo& info)
{
    Kvo::LockMonitor lm(_event_loop_lock, __LINE__, __FILE__);
    _learninfo = info;
    _learn_done = true;
    _wake_pending = true;
    pthread_cond_signal(&_event_cond);
}

void Engine::next_midi_received(const MidiBindInfo& info)
{
    Kvo::LockMonitor lm(_event_loop_lock, __LINE__, __FILE__);
    _nextinfo = info;
    _received_done = true;
    _wake_pending = true;
    pthread_cond_signal(&_event_cond);
}

void Engine::finish_midi_learning()
{
    bool learned = false, received = false;
    MidiBindInfo learn, next;
    {
        Kvo::LockMonitor lm(_event_loop_lock, __LINE__, __FILE__);
        if (_learn_done) {
            learn = _learninfo;
            _learn_done = false;
            learned = true;
        }
        if (_received_done) {
            next = _nextinfo;
            _received_done = false;
            received = true;
        }
    }
    if (learned && _midi_bridge) {
        bool added;
        {
            Kvo::LockMonitor bl(_midi_bridge->bindings_lock(), __LINE__, __FILE__);
            added = _midi_bridge->bindings().add_binding(learn, has_option(_learn_event.options, "exclusive"));
        }
        _learn_event.bind_str = learn.serialize();
        if (added) {
            _osc->finish_midi_binding_event(_learn_event);
        } else {
            // The learned message cannot carry that binding: the learn ends
            // without one, and the client is not left waiting.
            MidiBindingEvent cancel(MidiBindingEvent::CancelLearn, "", "", _learn_event.ret_url,
                                    _learn_event.ret_path);
            _osc->finish_midi_binding_event(cancel);
        }
    }
    if (received) {
        _next_event.bind_str = next.serialize();
        _osc->finish_midi_binding_event(_next_event);
    }
}

void Engine::process_midi_binding_event(MidiBindingEvent& ev)
{
    MidiBridge* bridge = _midi_bridge;
    MidiBindInfo info;
    switch (ev.type) {
    case MidiBindingEvent::GetAll: {
        Kvo::LockMonitor bl(bridge->bindings_lock(), __LINE__, __FILE__);
        _osc->send_all_midi_bindings(&bridge->bindings(), ev.ret_url, ev.ret_path);
        break;
    }
    case MidiBindingEvent::Remove:
        if (info.unserialize(ev.bind_str)) {
            Kvo::LockMonitor bl(bridge->bindings_lock(), __LINE__, __FILE__);
            bridge->bindings().remove_binding(info);
        }
        break;
    case MidiBindingEvent::Add:
        if (info.unserialize(ev.bind_str)) {
            Kvo::LockMonitor bl(bridge->bindings_lock(), __LINE__, __FILE__);
            bridge->bindings().add_binding(info, has_option(ev.options, "exclusive"));
        }
        break;
    case MidiBindingEvent::Clear: {
        Kvo::LockMonitor bl(bridge->bindings_lock(), __LINE__, __FILE__);
        bridge->bindings().clear_bindings();
        break;
    }
    case MidiBindingEvent::Load: {
        Kvo::LockMonitor bl(bridge->bindings_lock(), __LINE__, __FILE__);
        bridge->bindings().load_bindings(ev.bind_str, ev.options == "add");
        break;
    }
    case MidiBindingEvent::Save: {
        Kvo::LockMonitor bl(bridge->bindings_lock(), __LINE__, __FILE__);
        bridge->bindings().save_bindings(ev.bind_str);
        break;
    }
    case MidiBindingEvent::Learn:
        if (info.unserialize(ev.bind_str)) {
            clear_flag(_learn_done);
            _learn_event = ev;
            bridge->start_learn(info, has_option(ev.options, "exclusive"));
        }
        break;
    case MidiBindingEvent::GetNextMidi:
        clear_flag(_received_done);
        _next_event = ev;
        bridge->start_get_next();
        break;
    case MidiBindingEvent::CancelLearn:
        clear_flag(_learn_done);
        bridge->cancel_learn();
        _osc->finish_midi_binding_event(ev);
        break;
    case MidiBindingEvent::CancelGetNext:
        clear_flag(_received_done);
        bridge->cancel_get_next();
        _osc->finish_midi_binding_event(ev);
        break;
    }
}

void Engine::clear_flag(bool& flag)
{
    Kvo::LockMonitor lm(_event_loop_lock, __LINE__, __FILE__);
    flag = false;
}

// ---------------------------------------------------------------------------
// Requests

void Engine::report_memory_refusals()
{
    // The audio thread only counts; saying so is ours, and the loop keeps
    // playing what it had.
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    for (size_t i = 0; i < _instances.size(); ++i) {
        const uint32_t n = _instances[i]->take_new_memory_refusals();
        if (n == 0) {
            continue;
        }
        const std::string text = "loop " + std::to_string(i) + ": not enough loop memory, " + std::to_string(n) +
                                 (n == 1 ? " operation" : " operations") + " refused";
        std::cerr << text << std::endl;
        Kvo::error << text << endmsg;
    }
}

std::vector<Looper*> Engine::loopers_at(int instance)
{
    // The engine thread alone deletes loopers, so these stay valid after the
    // lock is released.
    std::vector<Looper*> out;
    Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
    for (size_t i = 0; i < _instances.size(); ++i) {
        if (instance == -1 || (instance >= 0 && (size_t)instance == i)) {
            out.push_back(_instances[i]);
        }
    }
    return out;
}

void Engine::process_loop_file_event(LoopFileEvent& ev)
{
    for (Looper* l : loopers_at(ev.instance)) {
        if (ev.type == LoopFileEvent::Load) {
            if (!l->load_loop(ev.filename)) {
                _osc->send_error(ev.ret_url, ev.ret_path, "Loop Load Failed");
            }
        } else if (!l->save_loop(ev.filename, ev.format)) {
            _osc->send_error(ev.ret_url, ev.ret_path, "Loop Save Failed");
        }
    }
}

void Engine::process_global_set(GlobalSetEvent& ev)
{
    if (!set_global_param(ev.param, ev.value)) {
        return;
    }
    // The other clients hear of an accepted change only, with the value the
    // engine keeps (a sync source is rounded).
    float value = ev.value;
    if (ev.param != "dry" && ev.param != "wet" && ev.param != "input_gain") {
        get_global_param(ev.param, value);
    }
    send_update(-2, CommandMap::instance().to_control_t(ev.param), value, ev.source);
}

bool Engine::process_nonrt_event(EventNonRT* event)
{
    if (!event || !_osc) {
        return false;
    }
    if (auto* ev = dynamic_cast<GetParamEvent*>(event)) {
        ev->ret_value = get_control_value(ev->control, ev->instance);
        _osc->finish_get_event(*ev);
    } else if (auto* ev = dynamic_cast<GlobalGetEvent*>(event)) {
        get_global_param(ev->param, ev->ret_value);
        _osc->finish_global_get_event(*ev);
    } else if (auto* ev = dynamic_cast<GlobalSetEvent*>(event)) {
        process_global_set(*ev);
    } else if (auto* ev = dynamic_cast<ConfigUpdateEvent*>(event)) {
        _osc->finish_update_event(*ev);
    } else if (auto* ev = dynamic_cast<ConfigLoopEvent*>(event)) {
        if (ev->type == ConfigLoopEvent::Add) {
            add_loop_request(ev->channels, ev->secs, ev->discrete != 0, ev->serial);
        } else if (ev->type == ConfigLoopEvent::Remove) {
            remove_loop_request(ev->index);
            _osc->finish_loop_config_event(*ev);
        }
    } else if (auto* ev = dynamic_cast<MidiBindingEvent*>(event)) {
        if (!_midi_bridge) {
            return false;
        }
        process_midi_binding_event(*ev);
    } else if (auto* ev = dynamic_cast<PingEvent*>(event)) {
        _osc->send_pingack(true, ev->ret_url, ev->ret_path);
    } else if (auto* ev = dynamic_cast<RegisterConfigEvent*>(event)) {
        _osc->finish_register_event(*ev);
    } else if (auto* ev = dynamic_cast<LoopFileEvent*>(event)) {
        process_loop_file_event(*ev);
    } else if (auto* ev = dynamic_cast<SessionEvent*>(event)) {
        if (ev->type == SessionEvent::Load) {
            if (!load_session(ev->filename)) {
                _osc->send_error(ev->ret_url, ev->ret_path, "Session Load Failed");
            }
        } else if (ev->type == SessionEvent::Save) {
            // A request without a file name would store nothing.
            if (ev->filename.empty()) {
                fprintf(stderr, "Failed to store session: no file name given\n");
            }
            if (ev->filename.empty() || !save_session(ev->filename)) {
                _osc->send_error(ev->ret_url, ev->ret_path, "Session Save Failed");
            }
        }
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Main loop

void Engine::send_update(int8_t instance, Event::control_t ctrl, float value, int source)
{
    ConfigUpdateEvent ev(ConfigUpdateEvent::Send, instance, ctrl, "", "", value, source);
    _osc->finish_update_event(ev);
}

void Engine::process_update_event(const Event& ev)
{
    if (ev.Control == Event::SaveLoop) {
        std::cerr << "got save: " << (int)ev.Instance << std::endl;
        // The loop the set named as it came, if still there; a negative
        // instance, every loop.
        for (Looper* l : loopers_at(-1)) {
            if (ev.Instance < 0 || l->serial() == ev.Serial) {
                l->save_loop("", LoopFileEvent::FormatFloat);
            }
        }
        return;
    }
    // A change of the engine's own levels ("/qm/-2/set") is news for their
    // subscribers as much as a loop's.
    if (ev.Instance == -2) {
        if (ev.Type == Event::type_control_change || ev.Type == Event::type_global_control_change) {
            send_update(ev.Instance, ev.Control, ev.Value, ev.source);
        }
        return;
    }
    // Commands have no subscribers. A loop's are told of a set that went to
    // it, while it is there, with what it keeps.
    if (ev.Type != Event::type_control_change) {
        return;
    }
    std::vector<std::pair<int, float>> told;
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        for (size_t i = 0; i < _instances.size(); ++i) {
            float value = ev.Value;
            if (ev.reaches(_instances[i]->serial()) && _instances[i]->takes(ev.Control, value)) {
                told.emplace_back((int)i, value);
            }
        }
    }
    for (const auto& t : told) {
        send_update((int8_t)t.first, ev.Control, t.second, ev.source);
    }
}

void Engine::mainloop()
{
    typedef std::chrono::steady_clock Clock;
    Clock::time_point next_update;  // the clock's epoch: the first pass sends at once
    _engine_thread.store(std::this_thread::get_id());
    OutOfMemory memory;
    // libxml2 makes a thread's state on its first use there and cannot go on
    // when that fails: made now, a session or binding file later never runs
    // out of memory inside it.
    xmlGetGlobalState();

    while (is_ok() && _osc) {
        delete_released_loops();

        while (is_ok()) {
            EventNonRT* req = pop_nonrt_event();
            if (!req) {
                break;
            }
            memory.refuse([&] { process_nonrt_event(req); });
            delete req;
            // Requests may keep coming for a long time: what they hand over
            // is freed as it comes back, not once they stop.
            delete_released_loops();
        }

        Event ev;
        while (is_ok() && pop_update_event(ev)) {
            memory.refuse([&] { process_update_event(ev); });
        }
        if (!is_ok()) {
            return;
        }

        memory.refuse([&] {
            if (take_tempo_changed()) {
                send_update(-2, Event::Tempo, (float)_tempo.load(std::memory_order_relaxed), -1);
            }
            if (take_beat_occurred()) {
                send_update(-2, Event::TapTempo, (float)get_beat_frame(), -1);
            }
            finish_midi_learning();
            report_memory_refusals();
            report_dropped_waiting();
        });

        const Clock::time_point now = Clock::now();
        if (now >= next_update) {
            memory.refuse([&] { _osc->send_auto_updates(); });
            next_update = now + kAutoUpdateInterval;
        }
        memory.report(now);

        // The timed wait takes the wall clock.
        const Clock::duration wait = std::min<Clock::duration>(next_update - Clock::now(), kPollInterval);
        const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        if (ns > 0) {
            until.tv_nsec += (long)(ns % 1000000000LL);
            until.tv_sec += (time_t)(ns / 1000000000LL);
            if (until.tv_nsec >= 1000000000L) {
                until.tv_nsec -= 1000000000L;
                until.tv_sec += 1;
            }
        }
        wait_for_event(until);
    }
}

} // namespace Quillomat
