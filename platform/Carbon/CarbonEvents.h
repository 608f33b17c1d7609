#pragma once
// Carbon events: handlers installed on the event targets of windows and
// controls. An event sent to a control's target that no handler there takes
// goes on to the control it is embedded in, and so on up to the window.
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/MacTypes.h>
#include <Carbon/MacWindows.h>

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OpaqueEventRef* EventRef;
typedef struct OpaqueEventHandlerRef* EventHandlerRef;
typedef struct OpaqueEventHandlerCallRef* EventHandlerCallRef;
typedef struct OpaqueMenuRef* MenuRef;
typedef UInt16 MenuItemIndex;

typedef OSStatus (*EventHandlerProcPtr)(EventHandlerCallRef inHandlerCallRef, EventRef inEvent, void* inUserData);
typedef EventHandlerProcPtr EventHandlerUPP;

typedef UInt32 EventParamName;
typedef UInt32 EventParamType;
typedef double EventTime;
typedef UInt32 EventAttributes;

typedef struct EventTypeSpec {
    UInt32 eventClass;
    UInt32 eventKind;
} EventTypeSpec;

enum {
    kEventClassControl = 0x636e746c, // 'cntl'
    kEventClassCommand = 0x636d6473  // 'cmds'
};

enum {
    kEventControlHit = 1
};

enum {
    kEventCommandProcess = 1
};

enum {
    kEventParamDirectObject = 0x2d2d2d2d // '----'
};

enum {
    typeControlRef = 0x6374726c, // 'ctrl'
    typeHICommand = 0x68636d64   // 'hcmd'
};

enum {
    kHICommandFromMenu = (1U << 0),
    kHICommandFromControl = (1U << 1)
};

typedef struct HICommand {
    UInt32 attributes;
    UInt32 commandID;
    struct {
        MenuRef menuRef;
        MenuItemIndex menuItemIndex;
    } menu;
} HICommand;

enum {
    eventParameterNotFoundErr = -9870,
    eventNotHandledErr = -9874
};

static inline EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine) { return userRoutine; }

// The handler gets the events of the listed kinds sent to the target, the
// last installed first; it answers eventNotHandledErr to pass one on.
// outRef may be null.
OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler, ItemCount inNumTypes,
                             const EventTypeSpec* inList, void* inUserData, EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef);

OSStatus CreateEvent(CFAllocatorRef inAllocator, UInt32 inClassID, UInt32 inKind, EventTime inWhen,
                     EventAttributes inAttributes, EventRef* outEvent);
void ReleaseEvent(EventRef inEvent);
OSStatus SetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inType, ByteCount inSize,
                           const void* inDataPtr);
// The parameter must be of inDesiredType (typeWildCard takes any); at most
// inBufferSize bytes are copied. outActualType and outActualSize may be null.
OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize, ByteCount* outActualSize,
                           void* outData);
// The first handler's answer other than eventNotHandledErr, else eventNotHandledErr.
OSStatus SendEventToEventTarget(EventRef inEvent, EventTargetRef inTarget);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop
