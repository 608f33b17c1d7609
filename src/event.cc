#include "event.h"

#include <sys/time.h>

#include <climits>
#include <cstdint>

namespace Quillomat {

int Event::FragmentPos()
{
    if (iFragmentPos < 0 && pEventGenerator) {
        iFragmentPos = pEventGenerator->toFragmentPos(TimeStamp);
    }
    return iFragmentPos;
}

EventGenerator::EventGenerator(unsigned int sample_rate)
    : uiSampleRate(sample_rate), uiSamplesProcessed(0)
{
    fragmentTime.begin = 0.0;
    fragmentTime.end = createTimeStamp();
    fragmentTime.sample_ratio = 0.0;
}

void EventGenerator::updateFragmentTime(unsigned int nframes)
{
    updateFragmentTime(nframes, createTimeStamp());
}

void EventGenerator::updateFragmentTime(unsigned int nframes, double now)
{
    fragmentTime.begin = fragmentTime.end;
    fragmentTime.end = now;

    const double interval = fragmentTime.end - fragmentTime.begin;
    if (interval > 0.0) {
        fragmentTime.sample_ratio = uiSamplesProcessed / interval;
    } else {
        // Two block starts in the same microsecond, or the clock stepped back:
        // no usable measurement, so fall back to the nominal rate.
        fragmentTime.sample_ratio = uiSamplesProcessed ? double(uiSampleRate) : 0.0;
    }
    uiSamplesProcessed = nframes;
}

Event EventGenerator::createEvent(long fragpos)
{
    if (fragpos < 0) {
        return Event(this, createTimeStamp());
    }
    return Event(this, fragpos > INT_MAX ? INT_MAX : static_cast<int>(fragpos));
}

double EventGenerator::createTimeStamp()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return double(tv.tv_sec) + double(tv.tv_usec) * 1e-6;
}

int EventGenerator::toFragmentPos(double stamp) const
{
    const double pos = (stamp - fragmentTime.begin) * fragmentTime.sample_ratio;
    // Clamp before converting: an out-of-range (or NaN) double to integer is
    // undefined, and stamps from before the block are legitimately negative.
    if (!(pos > double(INT_MIN))) {
        return pos < 0.0 ? INT_MIN : 0;
    }
    if (pos >= double(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(static_cast<int64_t>(pos));
}

} // namespace Quillomat
