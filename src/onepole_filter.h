#pragma once
// First-order recursive low-pass filter, run in place over a block. The
// coefficients are worked out lazily on the next run after the cutoff changes,
// so setting the cutoff from the audio thread costs nothing.
#include <cstdint>

namespace Quillomat {

class OnePoleFilter {
public:
    explicit OnePoleFilter(float samplerate);
    virtual ~OnePoleFilter() {}

    // Does not recompute the coefficients: only a cutoff change does.
    void set_samplerate(float samplerate);
    float get_samplerate() const { return fSampleRate; }

    void set_cutoff(float hz) { fCurrCutoff = hz; }

    void run_lowpass(float* buf, uint32_t nframes);
    // The next run starts as if the signal had long stood at value.
    void settle(float value) { fLastOutput = value; }
    // Not implemented: leaves the buffer as it is.
    void run_highpass(float* buf, uint32_t nframes);

private:
    float fSampleRate;
    float fTwoPiOverSampleRate;
    float fLastOutput;
    float fLastCutoff;
    float fCurrCutoff;
    float fAmountOfCurrent;
    float fAmountOfLast;
};

} // namespace Quillomat
