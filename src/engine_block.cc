// One audio block: loops run between events at their frames, then common levels and meters.
#include <cmath>
#include <cstring>

#include "dsp.h"
#include "engine.h"
#include "looper.h"

namespace Quillomat {

static_assert(std::atomic<uint64_t>::is_always_lock_free, "the block routine counts its frames without a lock");

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

int Engine::process(nframes_t nframes)
{
    if (!_internal_sync_buf || !_event_queue) {
        return 0;
    }
    if (nframes > _buffersize) {
        nframes = _buffersize;
    }

    // Busy only for the moment the engine side takes the loop changes itself
    // after audio was idle: this block then plays the dry signal and leaves
    // the loops, their changes and the events to the next one.
    note_block(nframes);
    Kvo::TentativeLockMonitor loops(_rt_lock, __LINE__, __FILE__);
    if (!loops.locked()) {
        _event_generator->updateFragmentTime(nframes);
        prepare_buffers(nframes);
        fill_common_outs(nframes);
        _running_frames.store(_running_frames.load(std::memory_order_relaxed) + nframes, std::memory_order_relaxed);
        return 0;
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
    if (_waiting_count > 0) {
        deliver_waiting(master);
    }
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
            // One for a loop on its way in waits for it.
            if (wait_for_loop(*ev)) {
                continue;
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
    if (master >= 0) {
        Looper* m = _rt_instances[(size_t)master];
        m->run(offset, nframes);
        if (ev && ev->reaches(m->serial())) {
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
        if (ev && ev->reaches(l->serial())) {
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

    const float fall = dsp::fall_factor((float)nframes * _falloff_per_sample);
    float in_peak = dsp::fall_off(_common_input_peak.load(std::memory_order_relaxed), fall);
    float out_peak = dsp::fall_off(_common_output_peak.load(std::memory_order_relaxed), fall);

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

} // namespace Quillomat
