#include <AppKit/AppKit.h>
#include <AppKit/StandIn.h>

#include <cstdio>
#include <mutex>

namespace {

std::mutex alert_lock;
std::vector<AppKitStandIn::Alert> alerts;

std::string text(NSString* s)
{
    return s ? s->UTF8String() : "";
}

} // namespace

NSInteger NSRunAlertPanel(NSString* title, NSString* msgFormat, NSString* defaultButton,
                          NSString* alternateButton, NSString* otherButton, ...)
{
    va_list ap;
    va_start(ap, otherButton);
    NSString* message = NSString::alloc()->initWithFormat(msgFormat, ap);
    va_end(ap);

    AppKitStandIn::Alert a{text(title), text(message), text(defaultButton), text(alternateButton),
                           text(otherButton)};
    if (message) {
        message->release();
    }
    std::fprintf(stderr, "%s\n%s\n", a.title.c_str(), a.message.c_str());
    std::lock_guard<std::mutex> lm(alert_lock);
    alerts.push_back(a);
    return NSAlertDefaultReturn;
}

namespace AppKitStandIn {

std::vector<Alert> recordedAlerts()
{
    std::lock_guard<std::mutex> lm(alert_lock);
    return alerts;
}

void clearRecordedAlerts()
{
    std::lock_guard<std::mutex> lm(alert_lock);
    alerts.clear();
}

} // namespace AppKitStandIn
