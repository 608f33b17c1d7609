#pragma once
// The editor view component of an Audio Unit (type 'auvw'), as a host opens
// it in one of its windows.
#include <AudioUnit/AUComponent.h>
#include <Carbon/Carbon.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef ComponentInstance AudioUnitCarbonView;

enum {
    kAudioUnitCarbonViewComponentType = 0x61757677 // 'auvw'
};

enum {
    kAudioUnitCarbonViewCreateSelect = 0x0001
};

typedef struct Float32Point {
    Float32 x;
    Float32 y;
} Float32Point;

// Builds the view for inAudioUnit in a pane at inLocation of inSize (window
// coordinates) embedded in inParentControl; outControl gets the pane.
OSStatus AudioUnitCarbonViewCreate(AudioUnitCarbonView inView, AudioUnit inAudioUnit, WindowRef inWindow,
                                   ControlRef inParentControl, const Float32Point* inLocation,
                                   const Float32Point* inSize, ControlRef* outControl);

#ifdef __cplusplus
}
#endif
