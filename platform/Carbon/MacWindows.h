#pragma once
#include <CoreFoundation/MacTypes.h>

#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OpaqueWindowPtr* WindowRef;
typedef struct OpaqueControlRef* ControlRef;
typedef struct OpaqueEventTargetRef* EventTargetRef;

typedef UInt32 WindowClass;
enum {
    kAlertWindowClass = 1,
    kMovableAlertWindowClass = 2,
    kModalWindowClass = 3,
    kMovableModalWindowClass = 4,
    kFloatingWindowClass = 5,
    kDocumentWindowClass = 6
};

typedef UInt32 WindowAttributes;
enum {
    kWindowNoAttributes = 0,
    kWindowCloseBoxAttribute = (1U << 0),
    kWindowStandardHandlerAttribute = (1U << 25)
};

typedef UInt32 WindowModality;
enum {
    kWindowModalityNone = 0,
    kWindowModalitySystemModal = 1,
    kWindowModalityAppModal = 2,
    kWindowModalityWindowModal = 3
};

enum {
    errInvalidWindowRef = -5600
};

// A hidden window with its root control.
OSStatus CreateNewWindow(WindowClass windowClass, WindowAttributes attributes, const Rect* contentBounds,
                         WindowRef* outWindow);
// Disposes of its controls and of every event handler installed on them.
void DisposeWindow(WindowRef window);
// Draws every control.
void ShowWindow(WindowRef window);
void HideWindow(WindowRef window);
Boolean IsWindowVisible(WindowRef window);
EventTargetRef GetWindowEventTarget(WindowRef inWindow);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop
