#pragma once
// What the headless AppKit recorded: for tests.
#include <string>
#include <vector>

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

} // namespace AppKitStandIn
