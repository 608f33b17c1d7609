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

// One call: the selector, the instance and its arguments, each in a slot of
// one long (a Float32 by its bit pattern in the low 32 bits). Where they lie
// follows the pointer width: on 64-bit, params[0] holds the instance and
// argument i sits in params[i + 1], in call order; on 32-bit, the arguments
// are stored last-first (argument i of n in params[n - 1 - i]) and the
// instance follows them. Read them with ComponentArgument. params is declared
// with one element and the record reaches past it, so whoever packs a call
// allocates room for all of its slots. paramSize is the sum of the declared
// sizes of the arguments (2 for an SInt16), the instance not counted; nothing
// on the way in checks it.
typedef struct ComponentParameters {
    UInt8 flags;
    UInt8 paramSize;
    SInt16 what;
#if __LP64__
    UInt32 padding;
#endif
    long params[1];
} ComponentParameters;

typedef ComponentResult (*ComponentRoutineProcPtr)(ComponentParameters* cp, Handle componentStorage);
typedef ComponentRoutineProcPtr ComponentRoutineUPP;

enum {
    kComponentOpenSelect = -1,  // one argument: the new instance
    kComponentCloseSelect = -2, // one argument: the instance
    kComponentCanDoSelect = -3, // one argument: the selector asked about; result 1 or 0
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

#ifdef __cplusplus
}

// The slot of argument i of a call of n arguments, to read or to fill; i = -1
// is the instance. The one place that knows the order. The platform's header
// has the layout but no such accessor; code built there takes this inline
// along.
inline long& ComponentArgument(ComponentParameters* call, int i, int n)
{
#if __LP64__
    (void)n;
    return *(call->params + (i + 1));
#else
    return *(call->params + (n - 1 - i));
#endif
}
#endif
