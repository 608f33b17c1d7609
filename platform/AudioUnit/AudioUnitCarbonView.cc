// The host side of the view's calls, packed like those of AUComponent.cc.
#include <AudioUnit/AudioUnitCarbonView.h>

#include <cstdint>

extern "C" OSStatus AudioUnitCarbonViewCreate(AudioUnitCarbonView inView, AudioUnit inAudioUnit, WindowRef inWindow,
                                              ControlRef inParentControl, const Float32Point* inLocation,
                                              const Float32Point* inSize, ControlRef* outControl)
{
    ComponentParameters p = {};
    p.what = kAudioUnitCarbonViewCreateSelect;
    const void* args[] = {inAudioUnit, inWindow, inParentControl, inLocation, inSize, outControl};
    int n = 0;
    for (const void* a : args) p.params[n++] = (long)(intptr_t)a;
    p.paramSize = (UInt8)(n * sizeof(long));
    return CallComponent(inView, &p);
}
