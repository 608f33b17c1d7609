// The host side of the view's call.
#include <AudioUnit/AudioUnitCarbonView.h>

#include <CoreServices/StandIn.h>

extern "C" OSStatus AudioUnitCarbonViewCreate(AudioUnitCarbonView inView, AudioUnit inAudioUnit, WindowRef inWindow,
                                              ControlRef inParentControl, const Float32Point* inLocation,
                                              const Float32Point* inSize, ControlRef* outControl)
{
    return CoreServicesStandIn::call(inView, kAudioUnitCarbonViewCreateSelect, inAudioUnit, inWindow, inParentControl,
                                     inLocation, inSize, outControl);
}
