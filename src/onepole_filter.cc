#include "onepole_filter.h"

#include <cmath>

#include "utils.h"

namespace Quillomat {

OnePoleFilter::OnePoleFilter(float samplerate)
    : fSampleRate(0.0f), fTwoPiOverSampleRate(0.0f), fLastOutput(0.0f),
      fLastCutoff(0.0f), fCurrCutoff(0.0f), fAmountOfCurrent(0.0f), fAmountOfLast(0.0f)
{
    // Starting memory and cutoff at 0: a fresh filter is silent until a cutoff is set.
    set_samplerate(samplerate);
}

void OnePoleFilter::set_samplerate(float samplerate)
{
    fSampleRate = samplerate;
    fTwoPiOverSampleRate = 6.2831855f / samplerate;
}

void OnePoleFilter::run_lowpass(float* buf, uint32_t nframes)
{
    if (fLastCutoff != fCurrCutoff) {
        fLastCutoff = fCurrCutoff;
        if (fLastCutoff <= 0.0f) {
            fAmountOfCurrent = 0.0f;
            fAmountOfLast = 0.0f;
        } else if (fLastCutoff > fSampleRate * 0.5f) {
            fAmountOfCurrent = 1.0f;
            fAmountOfLast = 0.0f;
        } else {
            const float c = 2.0f - std::cos(fTwoPiOverSampleRate * fLastCutoff);
            fAmountOfLast = c - std::sqrt(c * c - 1.0f);
            fAmountOfCurrent = 1.0f - fAmountOfLast;
        }
    }

    // A decaying tail settles on a denormal fixed point that would keep every
    // later silent sample on the slow path; anything that small is inaudible.
    // Flushed every frame, so that where a run ends changes nothing.
    float y = fLastOutput;
    for (uint32_t i = 0; i < nframes; ++i) {
        y = flush_to_zero(fAmountOfCurrent * buf[i] + fAmountOfLast * y);
        buf[i] = y;
    }
    fLastOutput = y;
}

void OnePoleFilter::run_highpass(float* buf, uint32_t nframes)
{
    (void)buf;
    (void)nframes;
}

} // namespace Quillomat
