#pragma once
// A libsamplerate converter over the interleaved frames of a loop's channels.
//
// Handed an input of fewer than three frames, the linear converter reads the
// frame before it, where it expects the last frame of the call before; before
// the start of a buffer that read can fault. Such short inputs are copied
// behind that frame first. Longer ones are passed as they stand.
#include <samplerate.h>

#include "audio_driver.h"

namespace Quillomat {

class RateConverter {
public:
    RateConverter() = default;
    ~RateConverter() { release(); }

    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    // A converter of the given libsamplerate type; false, with libsamplerate's
    // error number in err, when it cannot be built. Throws std::bad_alloc as
    // new does.
    bool build(int type, unsigned int chans, int& err);
    void release();
    bool built() const { return _state != nullptr; }

    bool set_ratio(double ratio) { return _state && src_set_ratio(_state, ratio) == 0; }

    // Audio thread. The frames written (0 when it failed); used, when asked
    // for, gets the input frames taken.
    nframes_t convert(const float* in, nframes_t in_frames, float* out, nframes_t out_frames, double ratio,
                      nframes_t* used = nullptr);

private:
    static const nframes_t ShortFrames = 2;

    SRC_STATE* _state = nullptr;
    unsigned int _chans = 0;
    // The last frame taken, then room for a short input.
    float* _short = nullptr;
};

} // namespace Quillomat
