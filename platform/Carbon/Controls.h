#pragma once
// Controls: static text, push buttons and user panes, embedded in a tree under
// the window's root control. Bounds are window coordinates, whatever the
// embedding.
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/MacTypes.h>
#include <Carbon/MacWindows.h>

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

typedef SInt16 ControlPartCode;
enum {
    kControlEntireControl = 0
};

typedef struct RGBColor {
    UInt16 red;
    UInt16 green;
    UInt16 blue;
} RGBColor;

// Only the fields whose mask bit is set in flags apply.
typedef struct ControlFontStyleRec {
    SInt16 flags;
    SInt16 font;
    SInt16 size;
    SInt16 style;
    SInt16 mode;
    SInt16 just;
    RGBColor foreColor;
    RGBColor backColor;
} ControlFontStyleRec;

enum {
    kControlUseFontMask = 0x0001,
    kControlUseJustMask = 0x0040
};

enum {
    kControlFontSmallSystemFont = -2
};

enum {
    teCenter = 1,
    teFlushRight = -1,
    teFlushLeft = -2
};

// Features of a user pane.
enum {
    kControlSupportsEmbedding = (1U << 1)
};

// Control data of static text: the text as a CFStringRef, or as UTF-8 bytes.
enum {
    kControlStaticTextTextTag = 0x74657874,     // 'text'
    kControlStaticTextCFStringTag = 0x63667374  // 'cfst'
};

enum {
    errDataNotSupported = -30583,
    errUnknownControl = -30584,
    errControlIsNotEmbedder = -30590,
    errCantEmbedIntoSelf = -30594,
    errCantEmbedRoot = -30595
};

OSErr GetRootControl(WindowRef inWindow, ControlRef* outControl);

// Each new control sits in the root control and is drawn at once when its
// window is shown.
OSStatus CreateUserPaneControl(WindowRef window, const Rect* boundsRect, UInt32 features, ControlRef* outControl);
// style may be null.
OSStatus CreateStaticTextControl(WindowRef window, const Rect* boundsRect, CFStringRef text,
                                 const ControlFontStyleRec* style, ControlRef* outControl);
OSStatus CreatePushButtonControl(WindowRef window, const Rect* boundsRect, CFStringRef title,
                                 ControlRef* outControl);
// With every control embedded in it and the event handlers installed on them.
void DisposeControl(ControlRef theControl);

// The container must support embedding and belong to the same window.
OSErr EmbedControl(ControlRef inControl, ControlRef inContainer);

Rect* GetControlBounds(ControlRef control, Rect* bounds);
void SizeControl(ControlRef theControl, SInt16 w, SInt16 h);

OSStatus SetControlCommandID(ControlRef inControl, UInt32 inCommandID);
OSErr SetControlFontStyle(ControlRef inControl, const ControlFontStyleRec* inStyle);
// Static text only. Changes what the control holds, not what is on screen:
// that waits for the next drawing.
OSErr SetControlData(ControlRef inControl, ControlPartCode inPart, ResType inTagName, Size inSize,
                     const void* inData);

// Draws the control and the controls embedded in it.
void Draw1Control(ControlRef theControl);

EventTargetRef GetControlEventTarget(ControlRef inControl);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop
