#pragma once
// A libsamplerate converter over the interleaved frames of a loop's channels,
// run as one stream that makes the frames it is told to, however its input
// is cut up.
//
// The linear converter makes as many frames as its input and output allow,
// and how many that is depends on how the input was split (it looks a frame
// further ahead at the start of a call). So every call says how many frames
// to make: the caller counts them from the frames given in all, and then
// neither the frames made nor a change of ratio depends on the splits. The
// input the converter did not take heads the next call's input.
//
// For an input of one frame the converter reads the frame before, where it
// expects the last frame of the call before; before the start of a buffer
// that read can fault. Short inputs are therefore copied behind that frame.
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
    // new does, as does reserve.
    bool build(int type, unsigned int chans, int& err);
    // Room for calls of up to max_in frames in and max_out out; starts a new
    // stream.
    void reserve(nframes_t max_in, nframes_t max_out);
    void release();

    bool set_ratio(double ratio) { return _state && src_set_ratio(_state, ratio) == 0; }
    // A new stream: its first frame out is its first frame in. pull() hands
    // that frame out `lead` more times before the rest.
    void reset(nframes_t lead = 0);

    // Audio thread. Takes in (at most max_in frames) and makes `make` frames
    // into out; the frames it could not make (none when it was given enough)
    // hold the last one made.
    void convert(const float* in, nframes_t in_frames, float* out, nframes_t make, double ratio);

    // Audio thread. Makes `make` frames as convert does, the input taken to
    // go on as its last frame: the end of a stream.
    void flush(float* out, nframes_t make, double ratio);

    // Audio thread. Takes in and makes `make` frames, which queue behind
    // those made before; then hands out exactly out_frames frames from the
    // head of the queue, holding the last frame handed out when it runs dry.
    void pull(const float* in, nframes_t in_frames, nframes_t make, float* out, nframes_t out_frames,
              double ratio);
    // Frames that go out before the next one made: those queued, and the
    // hold or lead still to come, less those still to pass over.
    long queued() const { return (long)_ahead_frames + _shift + (long)_lead; }
    // Audio thread. From now on the stream goes out `frames` later (the last
    // frame handed out held meanwhile), or when negative earlier, passing
    // over that many frames.
    void shift(long frames);

private:
    static constexpr nframes_t ShortFrames = 2;
    // Input frames the converter may leave untaken: those past the last
    // frame it made (up to the lookahead and a frame's span at 1/4).
    static constexpr nframes_t MaxKept = 16;
    // Frames the queue may hold: a few of lead, and what a change of ratio
    // shifts it by.
    static constexpr nframes_t MaxAhead = 64;

    nframes_t make_frames(const float* in, nframes_t in_frames, float* out, nframes_t make, double ratio);

    SRC_STATE* _state = nullptr;
    unsigned int _chans = 0;

    // The last frame taken, the frames left untaken, then room for an input.
    float* _stage = nullptr;
    nframes_t _stage_len = 0;
    nframes_t _kept = 0;
    bool _fresh = true;  // nothing taken since the stream began
    float* _last = nullptr;  // the last frame made or handed out

    // Frames made and not handed out yet.
    float* _ahead = nullptr;
    nframes_t _ahead_len = 0;
    nframes_t _ahead_frames = 0;
    nframes_t _lead = 0;  // copies of the first frame made still to hand out
    // Still to come: copies of the last frame handed out (above 0), or frames
    // of the stream to pass over (below). A hold and a skip cancel out.
    long _shift = 0;
};

} // namespace Quillomat
