#pragma once
// Components: a registered entry point that hosts open instances of. Every
// call on an instance reaches the entry point with a selector and its
// arguments; the instance's storage (the plug-in object) goes along.
#include <CoreFoundation/MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef SInt32 ComponentResult;

typedef struct ComponentRecord* Component;
typedef struct ComponentInstanceRecord* ComponentInstance;

typedef struct ComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
} ComponentDescription;

enum { kComponentParameterCount = 8 };

// One call: the selector and up to eight arguments. params[i] holds argument
// i of the call (the instance itself not counted), integers and pointers
// widened to long, a Float32 by its bit pattern in the low 32 bits.
// paramSize is the number of bytes of params in use.
typedef struct ComponentParameters {
    UInt8 flags;
    UInt8 paramSize;
    SInt16 what;
    long params[kComponentParameterCount];
} ComponentParameters;

typedef ComponentResult (*ComponentRoutineProcPtr)(ComponentParameters* cp, Handle componentStorage);
typedef ComponentRoutineProcPtr ComponentRoutineUPP;

enum {
    kComponentOpenSelect = -1,  // params[0]: the new instance
    kComponentCloseSelect = -2, // params[0]: the instance
    kComponentCanDoSelect = -3, // params[0]: the selector asked about; result 1 or 0
    kComponentVersionSelect = -4
};

enum {
    invalidComponentID = -3000,
    validInstancesExist = -3001,
    badComponentInstance = (SInt32)0x80008001,
    badComponentSelector = (SInt32)0x80008002
};

// Registers an entry point; the handles are not used. Null when the
// description or the entry point is missing.
Component RegisterComponent(ComponentDescription* cd, ComponentRoutineUPP componentEntryPoint, SInt16 global,
                            Handle componentName, Handle componentInfo, Handle componentIcon);
// Refused (validInstancesExist) while instances are open.
OSErr UnregisterComponent(Component aComponent);
// Fills the description of a component, or of the component of an instance.
OSErr GetComponentInfo(Component aComponent, ComponentDescription* cd, Handle componentName, Handle componentInfo,
                       Handle componentIcon);

// Sends the open selector; a failing open leaves *ci null and returns its status.
OSErr OpenAComponent(Component aComponent, ComponentInstance* ci);
// Sends the close selector and frees the instance.
OSErr CloseComponent(ComponentInstance aComponentInstance);

Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance);
void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage);

// Hands one call to the instance's entry point; badComponentInstance for a
// null or closed instance.
ComponentResult CallComponent(ComponentInstance ci, ComponentParameters* cp);

#ifdef __cplusplus
}
#endif
