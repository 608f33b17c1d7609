// The host side of the view's call.
#include <AudioUnit/AudioUnitCarbonView.h>

#include "component_call.h"

extern "C" OSStatus AudioUnitCarbonViewCreate(AudioUnitCarbonView inView, AudioUnit inAudioUnit, WindowRef inWindow,
                                              ControlRef inParentControl, const Float32Point* inLocation,
                                              const Float32Point* inSize, ControlRef* outControl)
{
    return qmau::Call(kAudioUnitCarbonViewCreateSelect).ptr(inAudioUnit).ptr(inWindow).ptr(inParentControl)
        .ptr(inLocation).ptr(inSize).ptr(outControl).send(inView);
}
