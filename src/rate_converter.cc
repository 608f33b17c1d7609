// Rate conversion that never reads before its input.
#include "rate_converter.h"

#include <cstring>

namespace Quillomat {

bool RateConverter::build(int type, unsigned int chans, int& err)
{
    release();
    err = 0;
    _short = new float[(size_t)(1 + ShortFrames) * chans]();
    _state = src_new(type, (int)chans, &err);
    if (!_state) {
        release();
        return false;
    }
    _chans = chans;
    return true;
}

void RateConverter::release()
{
    if (_state) {
        src_delete(_state);
        _state = nullptr;
    }
    delete[] _short;
    _short = nullptr;
    _chans = 0;
}

nframes_t RateConverter::convert(const float* in, nframes_t in_frames, float* out, nframes_t out_frames,
                                 double ratio, nframes_t* used)
{
    if (!_state) {
        return 0;
    }
    const size_t frame = _chans;
    const float* from = in;
    if (in_frames > 0 && in_frames <= ShortFrames) {
        std::memcpy(_short + frame, in, in_frames * frame * sizeof(float));
        from = _short + frame;
    }
    SRC_DATA d = {};
    d.data_in = from;
    d.input_frames = in_frames;
    d.data_out = out;
    d.output_frames = out_frames;
    d.src_ratio = ratio;
    if (src_process(_state, &d) != 0) {
        return 0;
    }
    const nframes_t taken = (nframes_t)d.input_frames_used;
    if (taken > 0) {
        std::memmove(_short, from + (size_t)(taken - 1) * frame, frame * sizeof(float));
    }
    if (used) {
        *used = taken;
    }
    return (nframes_t)d.output_frames_gen;
}

} // namespace Quillomat
