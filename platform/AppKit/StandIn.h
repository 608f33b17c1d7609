#pragma once
// What the headless AppKit recorded, and how it is to answer: for tests.
#include <string>
#include <vector>

#include <Foundation/NSObjCRuntime.h>

namespace AppKitStandIn {

struct Alert {
    std::string title;
    std::string message; // formatted
    std::string defaultButton;
    std::string alternateButton;
    std::string otherButton;
};

std::vector<Alert> recordedAlerts();
void clearRecordedAlerts();
// What NSRunAlertPanel returns from now on.
void setAlertResponse(NSInteger response);

} // namespace AppKitStandIn
