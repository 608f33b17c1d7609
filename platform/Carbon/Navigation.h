#pragma once
// Navigation Services: the choose-file dialog. Headless: running a dialog
// takes the answer a test (or nobody: cancel) left for it, and calls the
// dialog's callback with the start, the user's action and the end, all
// before NavDialogRun returns.
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/MacTypes.h>
#include <CoreServices/AEDataModel.h>
#include <Carbon/MacWindows.h>

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __NavDialog* NavDialogRef;
typedef struct OpaqueNavTypeList** NavTypeListHandle;

typedef UInt32 NavDialogOptionFlags;
enum {
    kNavAllowPreviews = 0x00000010,
    kNavSupportPackages = 0x00001000,
    kNavDefaultNavDlogOptions = kNavAllowPreviews
};

typedef struct NavDialogCreationOptions {
    UInt16 version;
    NavDialogOptionFlags optionFlags;
    Point location;
    CFStringRef clientName;
    CFStringRef windowTitle;
    CFStringRef actionButtonLabel;
    CFStringRef cancelButtonLabel;
    CFStringRef saveFileName;
    CFStringRef message;
    UInt32 preferenceKey;
    CFArrayRef popupExtension;
    WindowModality modality;
    WindowRef parentWindow;
    char reserved[16];
} NavDialogCreationOptions;

typedef SInt32 NavEventCallbackMessage;
enum {
    kNavCBStart = 2,
    kNavCBTerminate = 3,
    kNavCBUserAction = 12
};

typedef UInt32 NavUserAction;
enum {
    kNavUserActionNone = 0,
    kNavUserActionCancel = 1,
    kNavUserActionOpen = 2,
    kNavUserActionChoose = 4
};

typedef struct NavCBRec {
    UInt16 version;
    NavDialogRef context;
    WindowRef window;
    Rect customRect;
    Rect previewRect;
    NavUserAction userAction;
} NavCBRec;
typedef NavCBRec* NavCBRecPtr;

typedef void (*NavEventProcPtr)(NavEventCallbackMessage callBackSelector, NavCBRecPtr callBackParms,
                                void* callBackUD);
typedef NavEventProcPtr NavEventUPP;
typedef Boolean (*NavPreviewProcPtr)(NavCBRecPtr callBackParms, void* callBackUD);
typedef NavPreviewProcPtr NavPreviewUPP;
typedef Boolean (*NavObjectFilterProcPtr)(AEDesc* theItem, void* info, void* callBackUD, SInt16 filterMode);
typedef NavObjectFilterProcPtr NavObjectFilterUPP;

// selection: one typeFSRef item per chosen object.
typedef struct NavReplyRecord {
    UInt16 version;
    Boolean validRecord;
    Boolean replacing;
    Boolean isStationery;
    Boolean translationNeeded;
    AEDescList selection;
    CFStringRef saveFileName;
} NavReplyRecord;

enum {
    kNavWrongDialogStateErr = -5694
};

static inline NavEventUPP NewNavEventUPP(NavEventProcPtr userRoutine) { return userRoutine; }
static inline void DisposeNavEventUPP(NavEventUPP) {}

OSStatus NavGetDefaultDialogCreationOptions(NavDialogCreationOptions* outOptions);
// The options' strings are copied.
OSStatus NavCreateChooseFileDialog(const NavDialogCreationOptions* inOptions, NavTypeListHandle inTypeList,
                                   NavEventUPP inEventProc, NavPreviewUPP inPreviewProc,
                                   NavObjectFilterUPP inFilterProc, void* inClientData, NavDialogRef* outDialog);
// A dialog runs once.
OSStatus NavDialogRun(NavDialogRef inDialog);
void NavDialogDispose(NavDialogRef inDialog);
NavUserAction NavDialogGetUserAction(NavDialogRef inDialog);
// Valid after a choose or open action; the caller disposes of the reply.
OSStatus NavDialogGetReply(NavDialogRef inDialog, NavReplyRecord* outReply);
OSErr NavDisposeReply(NavReplyRecord* inReply);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop
