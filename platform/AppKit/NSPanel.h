#pragma once
#include <Foundation/Foundation.h>

enum {
    NSAlertDefaultReturn = 1,
    NSAlertAlternateReturn = 0,
    NSAlertOtherReturn = -1,
};

// No window: the alert is recorded (see AppKit/StandIn.h), written to standard
// error, and answered at once with the button a test chose (the default
// button unless told otherwise). The message is a format; "%@" takes an
// NSObject* (pass the base pointer).
NSInteger NSRunAlertPanel(NSString* title, NSString* msgFormat, NSString* defaultButton,
                          NSString* alternateButton, NSString* otherButton, ...);
