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
    kDocumentWindowClass = 6
};

typedef UInt32 WindowAttributes;
enum {
    kWindowStandardHandlerAttribute = (1U << 25)
};

typedef UInt32 WindowModality;
enum {
    kWindowModalityAppModal = 2
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
EventTargetRef GetWindowEventTarget(WindowRef inWindow);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop
