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

// The longest gap between two taps or clock beats that still measures a beat
// (20 bpm); after a longer one the next beat starts a new run.
const double kSlowestBeatSecs = 3.0;

// A tap sooner than this after the last one (faster than 600 bpm) is the
// switch bouncing, not a beat.
const double kTapBounceSecs = 0.1;

// Walks a counter of frames since the last period boundary (a pulse, a beat)
// over the frames [from, to): every frame counts once, and the frame on which
// the counter reaches the period is a boundary, counted as the first frame of
// the next period. Calls at(frame) for each boundary; returns the last one, or -1.
template <class F>
long count_periods(double& counter, double period, nframes_t from, nframes_t to, F at)
{
    if (!(period > 0.0)) {
        return -1;
    }
    long last = -1;
    nframes_t i = from;
    while (i < to) {
        const double due = std::max(0.0, std::ceil(period - counter));
        if (due >= (double)(to - i)) {
            break;
        }
        i += (nframes_t)due;
        counter += due;
        at(i);
        last = (long)i;
        counter = frac(counter - period) + 1.0;
        ++i;
    }
    counter += (double)(to - i);
    return last;
}

// The frame of grid point k of a period counted from transport frame 0: the
// nearest one. It is worked out from k alone, so each grid point has one
// frame however the blocks around it fall.
inline uint64_t grid_frame(uint64_t k, double period)
{
    return (uint64_t)std::floor((double)k * period + 0.5);
}

// Calls at(offset) for every grid point whose frame lies in the nframes
// frames from transport frame start; returns the last offset, or -1. A
// position past what a double counts in whole frames (centuries) has no grid.
template <class F>
long grid_points(uint64_t start, nframes_t nframes, double period, F at)
{
    if (!(period >= 0.5) || (double)start + (double)nframes + period >= 9007199254740992.0) {
        return -1;
    }
    uint64_t k = (uint64_t)((double)start / period);
    while (k > 0 && grid_frame(k, period) >= start) {
        --k;
    }
    while (grid_frame(k, period) < start) {
        ++k;
    }
    long last = -1;
    for (uint64_t f = grid_frame(k, period); f - start < nframes; f = grid_frame(++k, period)) {
        last = (long)(f - start);
        at((nframes_t)last);
    }
    return last;
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
    _beat_count = 0;
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
    // Until the window is full, only the beats measured so far count.
    if (_avgfilled < TEMPO_WINDOW_SIZE) {
        ++_avgfilled;
    }
    return _running_tempo_sum / _avgfilled;
}

void Engine::reset_avg_tempo(double tempo)
{
    for (int i = 0; i < TEMPO_WINDOW_SIZE; ++i) {
        _tempo_averages[i] = tempo;
    }
    _running_tempo_sum = tempo * TEMPO_WINDOW_SIZE;
    _avgindex = TEMPO_WINDOW_SIZE - 1;
    _avgfilled = TEMPO_WINDOW_SIZE;
}

void Engine::clear_avg_tempo()
{
    reset_avg_tempo(0.0);
    _avgfilled = 0;
}

bool Engine::beat_tempo(BeatRun& run, uint64_t at, double& tempo)
{
    const uint64_t gap = at - run.last;
    const bool fresh = !run.open || (double)gap > _samplerate * kSlowestBeatSecs;
    run.open = true;
    run.last = at;
    if (fresh) {
        // A new run, perhaps at a new tempo: measured afresh.
        clear_avg_tempo();
        return false;
    }
    if (gap == 0) {
        return false;
    }
    tempo = avg_tempo(_samplerate * 60.0 / (double)gap);
    return true;
}

void Engine::tap_tempo(nframes_t offset, nframes_t nframes)
{
    const uint64_t tap = _running_frames.load(std::memory_order_relaxed) + offset;
    if (_taps.open && (double)(tap - _taps.last) < _samplerate * kTapBounceSecs) {
        // Ignored whole: the tempo, the phase and the last tap stay.
        return;
    }
    double t = _tempo.load(std::memory_order_relaxed);
    const bool measured = beat_tempo(_taps, tap, t);
    if (measured && !tempo_in_range(t)) {
        return;
    }
    // Both counters start again: the tap is the new phase of the rest of the block.
    set_tempo_rt(t);
    calculate_tempo_frames();
    if (_rt_sync_source == InternalTempoSync) {
        generate_sync(offset, nframes);
    }
    if (measured) {
        _tempo_changed.store(true, std::memory_order_release);
    }
}

int Engine::generate_sync(nframes_t offset, nframes_t nframes)
{
    int hit = -1;
    if (offset > _buffersize || nframes > _buffersize - offset) {
        return hit;
    }
    float* buf = _internal_sync_buf + offset;
    const int source = _rt_sync_source;

    // A clock that was not followed has no last beat to measure from.
    if (source != MidiClockSync) {
        _midi_beats.open = false;
    }

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
            break;
        }
        // A brother, the lowest bound or a master past the loop count gives
        // no pulses: what the last source wrote must not be followed block
        // after block.
        if (!_sync_buf_silent) {
            std::fill(_internal_sync_buf, _internal_sync_buf + _buffersize, 0.0f);
            _sync_buf_silent = true;
        }
        return hit;
    }
    _sync_buf_silent = false;

    if (hit >= 0 && _tempo.load(std::memory_order_relaxed) < 400.0) {
        // Told as the running frame modulo 2^32.
        _beat_frame.store((nframes_t)(_running_frames.load(std::memory_order_relaxed) + (uint64_t)hit),
                          std::memory_order_relaxed);
        _beat_occurred.store(true, std::memory_order_release);
    }
    return hit;
}

void Engine::generate_internal_sync(nframes_t offset, nframes_t nframes, int& hit)
{
    float* buf = _internal_sync_buf;
    const nframes_t end = offset + nframes;
    const double tf = _tempo_frames;

    // Without a pulse period every frame is a sync point.
    std::fill(buf + offset, buf + end, tf > 0.0 ? 0.0f : 1.0f);
    if (tf > 0.0) {
        double pulse = pulse_counter(tf);
        count_periods(pulse, tf, offset, end, [buf](nframes_t i) { buf[i] = 1.0f; });
    }
    // Beats are counted over the same frames, so one due with a pulse falls on it.
    const long beat =
        count_periods(_quarter_counter, _quarter_note_frames, offset, end, [this](nframes_t) { ++_beat_count; });
    if (beat >= 0) {
        hit = (int)beat;
    }
}

// The pulses keep no count of their own: read from the beats at the start of
// every stretch, they fall on the grid of eighths or cycles since the tempo
// began, however long they were off and whatever their period was before.
double Engine::pulse_counter(double period) const
{
    const double quarter = _quarter_note_frames;
    if (!(quarter > 0.0)) {
        return 0.0;
    }
    // Two pulses of a whole number of eighths span as many beats: only the
    // beats since the last such span count, which keeps the sum exact.
    const double eighths = 2.0 * period / quarter;
    const double whole = std::round(eighths);
    uint64_t beats = _beat_count;
    if (whole >= 1.0 && std::fabs(eighths - whole) <= 1e-9 * whole) {
        beats %= (uint64_t)whole;
    }
    const double since = (double)beats * quarter + _quarter_counter;
    // As count_periods keeps it, the frame of a pulse counting as the first
    // of the next period.
    return since < 1.0 ? since : 1.0 + std::fmod(since - 1.0, period);
}

void Engine::generate_midi_sync(nframes_t offset, nframes_t nframes, int& hit)
{
    float* buf = _internal_sync_buf;
    const nframes_t end = offset + nframes;
    RingBuffer<Event>::rw_vector vec;
    _sync_queue->get_read_vector(&vec);
    const size_t count = vec.len[0] + vec.len[1];

    const uint64_t block_start = _running_frames.load(std::memory_order_relaxed);
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
                if (!tick) {
                    _midi_beats.open = false;
                }
                double t = 0.0;
                if (beat_tempo(_midi_beats, block_start + f, t) && t != _tempo.load(std::memory_order_relaxed) &&
                    tempo_in_range(t)) {
                    set_tempo_rt(t);
                    _tempo_changed.store(true, std::memory_order_release);
                }
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
    const uint64_t start = info.framepos + offset;
    float* buf = _internal_sync_buf + offset;
    grid_points(start, nframes, _tempo_frames, [buf](nframes_t i) { buf[i] = 1.0f; });
    const long beat = grid_points(start, nframes, _quarter_note_frames, [](nframes_t) {});
    if (beat >= 0) {
        hit = (int)(offset + (nframes_t)beat);
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
    // Rounded: a position kept in seconds as a float comes back a hair under
    // its frame as often as over it.
    const uint32_t len = to_frames((double)m->get_control_value(Event::LoopLength) * _samplerate + 0.5);
    if (quarter == 0 || len == 0) {
        return;
    }
    // The beats are the quarter notes counted in whole frames from the loop's
    // start; the loop starting over starts them again. Whole frames leave each
    // quarter note short by under a frame, and the cycle the tempo is read
    // from by up to a frame more: a last quarter note that close to the end
    // is the start's beat counted early, and the start is then no beat of its own.
    const uint32_t last = (len - 1) / quarter;
    const uint32_t cycles = cycle ? len / cycle : 0;
    const bool start_told = last > 0 && len - last * quarter <= last + cycles;

    const uint32_t pos = to_frames((double)m->get_control_value(Event::LoopPosition) * _samplerate + 0.5) % len;
    uint64_t next = ((uint64_t)pos + quarter - 1) / quarter * quarter;
    if (next == 0 && start_told) {
        next = quarter;
    } else if (next >= len) {
        next = start_told ? (uint64_t)len + quarter : len;
    }
    if (next - pos < nframes) {
        hit = (int)(offset + (next - pos));
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
