#pragma once
#include <Foundation/Foundation.h>

enum {
    NSAlertDefaultReturn = 1
};

// No window: the alert is recorded (see AppKit/StandIn.h), written to standard
// error, and answered at once with the default button. The message is a
// format; "%@" takes an NSObject* (pass the base pointer).
NSInteger NSRunAlertPanel(NSString* title, NSString* msgFormat, NSString* defaultButton,
                          NSString* alternateButton, NSString* otherButton, ...);
