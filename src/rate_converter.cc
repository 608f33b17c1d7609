// Rate conversion as one stream of counted frames, never reading before its
// input.
#include "rate_converter.h"

#include <algorithm>
#include <cstring>

namespace Quillomat {

bool RateConverter::build(int type, unsigned int chans, int& err)
{
    release();
    err = 0;
    _last = new float[chans]();
    _state = src_new(type, (int)chans, &err);
    if (!_state) {
        release();
        return false;
    }
    _chans = chans;
    reserve(0, 0);
    return true;
}

void RateConverter::reserve(nframes_t max_in, nframes_t max_out)
{
    delete[] _stage;
    _stage = nullptr;
    delete[] _ahead;
    _ahead = nullptr;
    _stage_len = _ahead_len = 0;

    const nframes_t stage = 1 + MaxKept + std::max(max_in, ShortFrames);
    _stage = new float[(size_t)stage * _chans]();
    _stage_len = stage;
    const nframes_t ahead = max_out + MaxAhead;
    _ahead = new float[(size_t)ahead * _chans]();
    _ahead_len = ahead;
    reset();
}

void RateConverter::release()
{
    if (_state) {
        src_delete(_state);
        _state = nullptr;
    }
    delete[] _stage;
    _stage = nullptr;
    delete[] _ahead;
    _ahead = nullptr;
    delete[] _last;
    _last = nullptr;
    _stage_len = _ahead_len = _ahead_frames = _kept = 0;
    _chans = 0;
}

void RateConverter::reset(nframes_t lead)
{
    if (_state) {
        src_reset(_state);
    }
    _fresh = true;
    _kept = 0;
    _ahead_frames = 0;
    _lead = std::min(lead, MaxAhead);
    _shift = 0;
    if (_last) {
        std::fill(_last, _last + _chans, 0.0f);
    }
}

nframes_t RateConverter::make_frames(const float* in, nframes_t in_frames, float* out, nframes_t make,
                                     double ratio)
{
    const size_t frame = _chans;
    if (!_state || 1 + _kept + in_frames > _stage_len) {
        return 0;
    }
    const float* from = in;
    nframes_t frames = in_frames;
    if (_kept > 0 || in_frames <= ShortFrames) {
        float* head = _stage + frame;
        std::memcpy(head + _kept * frame, in, (size_t)in_frames * frame * sizeof(float));
        if (_fresh) {
            // A fresh stream starts from its first frame, as if it came twice.
            std::memcpy(_stage, head, frame * sizeof(float));
        }
        from = head;
        frames = _kept + in_frames;
    }
    if (frames == 0) {
        return 0;
    }
    SRC_DATA d = {};
    d.data_in = from;
    d.input_frames = frames;
    d.data_out = out;
    d.output_frames = make;
    d.src_ratio = ratio;
    nframes_t taken = 0;
    nframes_t made = 0;
    if (make > 0 && src_process(_state, &d) == 0) {
        taken = std::min((nframes_t)d.input_frames_used, frames);
        made = (nframes_t)d.output_frames_gen;
    }
    if (taken > 0) {
        std::memmove(_stage, from + (size_t)(taken - 1) * frame, frame * sizeof(float));
        _fresh = false;
    }
    // What it did not take heads the next input; should that ever be more
    // than it may leave, the oldest goes.
    nframes_t left = frames - taken;
    const nframes_t skip = left > MaxKept ? left - MaxKept : 0;
    left -= skip;
    std::memmove(_stage + frame, from + (size_t)(taken + skip) * frame, (size_t)left * frame * sizeof(float));
    _kept = left;
    return made;
}

void RateConverter::convert(const float* in, nframes_t in_frames, float* out, nframes_t make, double ratio)
{
    const size_t frame = _chans;
    const nframes_t made = make_frames(in, in_frames, out, make, ratio);
    if (made > 0) {
        std::memcpy(_last, out + (size_t)(made - 1) * frame, frame * sizeof(float));
    }
    for (nframes_t j = made; j < make; ++j) {
        std::memcpy(out + (size_t)j * frame, _last, frame * sizeof(float));
    }
}

void RateConverter::flush(float* out, nframes_t make, double ratio)
{
    const size_t frame = _chans;
    if (!_stage) {
        return;
    }
    float* head = _stage + frame;
    const float* last = _kept > 0 ? head + (size_t)(_kept - 1) * frame : _stage;
    const nframes_t pad = std::min(ShortFrames, _stage_len - 1 - _kept);
    for (nframes_t j = 0; j < pad; ++j) {
        std::memcpy(head + (size_t)(_kept + j) * frame, last, frame * sizeof(float));
    }
    _kept += pad;
    convert(_stage, 0, out, make, ratio);
}

void RateConverter::shift(long frames)
{
    const long most = (long)MaxAhead;
    _shift = std::clamp(_shift + std::clamp(frames, -most, most), -most, most);
}

void RateConverter::pull(const float* in, nframes_t in_frames, nframes_t make, float* out, nframes_t out_frames,
                         double ratio)
{
    const size_t frame = _chans;
    make = std::min(make, _ahead_len - _ahead_frames);
    _ahead_frames += make_frames(in, in_frames, _ahead + (size_t)_ahead_frames * frame, make, ratio);
    if (_shift < 0) {
        const nframes_t drop = std::min((nframes_t)-_shift, _ahead_frames);
        std::memmove(_ahead, _ahead + (size_t)drop * frame, (size_t)(_ahead_frames - drop) * frame * sizeof(float));
        _ahead_frames -= drop;
        _shift += (long)drop;
    }
    if (_lead > 0 && _ahead_frames > 0) {
        // Nothing went out yet: the first frame fills the lead.
        _lead = std::min(_lead, _ahead_len - _ahead_frames);
        std::memmove(_ahead + (size_t)_lead * frame, _ahead, (size_t)_ahead_frames * frame * sizeof(float));
        for (nframes_t j = 0; j < _lead; ++j) {
            std::memcpy(_ahead + (size_t)j * frame, _ahead + (size_t)_lead * frame, frame * sizeof(float));
        }
        _ahead_frames += _lead;
        _lead = 0;
    }

    nframes_t j = 0;
    for (; j < out_frames && _shift > 0; ++j, --_shift) {
        std::memcpy(out + (size_t)j * frame, _last, frame * sizeof(float));
    }
    const nframes_t have = std::min(_ahead_frames, out_frames - j);
    std::memcpy(out + (size_t)j * frame, _ahead, (size_t)have * frame * sizeof(float));
    j += have;
    if (have > 0) {
        std::memcpy(_last, out + (size_t)(j - 1) * frame, frame * sizeof(float));
    }
    // Frames held before the first was made stand for part of the lead.
    _lead -= std::min(_lead, out_frames - j);
    for (; j < out_frames; ++j) {
        std::memcpy(out + (size_t)j * frame, _last, frame * sizeof(float));
    }
    _ahead_frames -= have;
    std::memmove(_ahead, _ahead + (size_t)have * frame, (size_t)_ahead_frames * frame * sizeof(float));
}

} // namespace Quillomat
