#pragma once
// The objects behind the Carbon handles. The library is shared, so a host and
// its plug-ins hold the same objects; handles are checked against the live
// ones, since a host may dispose of a window before the view in it.
#include <Carbon/StandIn.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qmcarbon {

bool alive(const void* object);
void born(const void* object);
void died(const void* object);

// The string as UTF-8; empty for null.
std::string utf8(CFStringRef s);

} // namespace qmcarbon

struct OpaqueEventTargetRef {
    WindowRef window = nullptr;   // the owner: a window...
    ControlRef control = nullptr; // ...or a control
    std::vector<EventHandlerRef> handlers; // in the order installed
};

struct OpaqueEventHandlerRef {
    EventTargetRef target;
    EventHandlerUPP proc;
    std::vector<EventTypeSpec> types;
    void* userData;
};

// What tests see of a control (its ref is itself), and what they do not.
struct OpaqueControlRef : CarbonStandIn::Control {
    WindowRef window = nullptr;
    UInt32 features = 0;
    std::vector<ControlRef> children;
    OpaqueEventTargetRef target;
};

struct OpaqueWindowPtr {
    Rect bounds = {};
    WindowClass windowClass = 0;
    WindowAttributes attributes = 0;
    bool visible = false;
    ControlRef root = nullptr;
    OpaqueEventTargetRef target;
};

struct OpaqueEventRef {
    UInt32 eventClass = 0;
    UInt32 eventKind = 0;
    int refs = 1;
    std::map<EventParamName, std::pair<EventParamType, std::vector<UInt8>>> params;
};
