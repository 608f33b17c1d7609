// Tempo and the pulse loops follow, from whichever of the five sync sources is chosen.
#include <algorithm>
#include <cmath>

#include "engine.h"
#include "looper.h"

namespace Quillomat {

namespace {

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

// ---------------------------------------------------------------------------
// Tempo and sync (audio thread)

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
// Tempo and sync source, set from the engine thread

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

} // namespace Quillomat
