// Windows, controls and Carbon events.
#include "carbon_objects.h"

#include <algorithm>
#include <cstring>

namespace qmcarbon {
namespace {

std::set<const void*>& live()
{
    static std::set<const void*> objects;
    return objects;
}

} // namespace

bool alive(const void* object) { return object && live().count(object) > 0; }
void born(const void* object) { live().insert(object); }
void died(const void* object) { live().erase(object); }

std::string utf8(CFStringRef s)
{
    if (!s) return std::string();
    if (const char* p = CFStringGetCStringPtr(s, kCFStringEncodingUTF8)) return p;
    std::vector<char> buf((size_t)CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1);
    return CFStringGetCString(s, buf.data(), (CFIndex)buf.size(), kCFStringEncodingUTF8) ? buf.data() : "";
}

} // namespace qmcarbon

using qmcarbon::alive;
using qmcarbon::born;
using qmcarbon::died;
using qmcarbon::utf8;

namespace {

int g_live_handlers = 0;

void remove_handlers(OpaqueEventTargetRef& target)
{
    for (EventHandlerRef h : target.handlers) {
        died(h);
        delete h;
        --g_live_handlers;
    }
    target.handlers.clear();
}

void draw(ControlRef c)
{
    c->drawnText = c->text;
    ++c->draws;
    for (ControlRef child : c->children) draw(child);
}

void detach(ControlRef c)
{
    if (!c->parent) return;
    auto& siblings = c->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), c), siblings.end());
    c->parent = nullptr;
}

void destroy(ControlRef c)
{
    for (ControlRef child : std::vector<ControlRef>(c->children)) destroy(child);
    detach(c);
    remove_handlers(c->target);
    died(c);
    delete c;
}

OSStatus make_control(WindowRef window, const Rect* bounds, CarbonStandIn::Kind kind, ControlRef* out)
{
    if (!out) return paramErr;
    *out = nullptr;
    if (!alive(window)) return errInvalidWindowRef;
    if (!bounds) return paramErr;
    ControlRef c = new OpaqueControlRef;
    c->ref = c;
    c->window = window;
    c->kind = kind;
    c->bounds = *bounds;
    c->target.control = c;
    born(c);
    if (window->root) {
        c->parent = window->root;
        window->root->children.push_back(c);
    }
    *out = c;
    return noErr;
}

// Drawn once complete, when the window shows.
OSStatus made(ControlRef c)
{
    if (c->window->visible) draw(c);
    return noErr;
}

bool matches(EventHandlerRef h, EventRef e)
{
    for (const EventTypeSpec& t : h->types)
        if (t.eventClass == e->eventClass && t.eventKind == e->eventKind) return true;
    return false;
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ windows

OSStatus CreateNewWindow(WindowClass windowClass, WindowAttributes attributes, const Rect* contentBounds,
                         WindowRef* outWindow)
{
    if (!outWindow || !contentBounds) return paramErr;
    WindowRef w = new OpaqueWindowPtr;
    w->bounds = *contentBounds;
    w->windowClass = windowClass;
    w->attributes = attributes;
    w->target.window = w;
    born(w);
    Rect all = {0, 0, (SInt16)(contentBounds->bottom - contentBounds->top),
                (SInt16)(contentBounds->right - contentBounds->left)};
    make_control(w, &all, CarbonStandIn::Kind::Root, &w->root);
    w->root->features = kControlSupportsEmbedding;
    *outWindow = w;
    return noErr;
}

void DisposeWindow(WindowRef window)
{
    if (!alive(window)) return;
    destroy(window->root);
    remove_handlers(window->target);
    died(window);
    delete window;
}

void ShowWindow(WindowRef window)
{
    if (!alive(window) || window->visible) return;
    window->visible = true;
    draw(window->root);
}

EventTargetRef GetWindowEventTarget(WindowRef inWindow) { return alive(inWindow) ? &inWindow->target : nullptr; }

// ----------------------------------------------------------------- controls

OSErr GetRootControl(WindowRef inWindow, ControlRef* outControl)
{
    if (!outControl) return paramErr;
    *outControl = alive(inWindow) ? inWindow->root : nullptr;
    return *outControl ? (OSErr)noErr : (OSErr)errInvalidWindowRef;
}

OSStatus CreateUserPaneControl(WindowRef window, const Rect* boundsRect, UInt32 features, ControlRef* outControl)
{
    OSStatus err = make_control(window, boundsRect, CarbonStandIn::Kind::UserPane, outControl);
    if (err != noErr) return err;
    (*outControl)->features = features;
    return made(*outControl);
}

OSStatus CreateStaticTextControl(WindowRef window, const Rect* boundsRect, CFStringRef text,
                                 const ControlFontStyleRec* style, ControlRef* outControl)
{
    OSStatus err = make_control(window, boundsRect, CarbonStandIn::Kind::StaticText, outControl);
    if (err != noErr) return err;
    (*outControl)->text = utf8(text);
    if (style) {
        (*outControl)->styled = true;
        (*outControl)->style = *style;
    }
    return made(*outControl);
}

OSStatus CreatePushButtonControl(WindowRef window, const Rect* boundsRect, CFStringRef title,
                                 ControlRef* outControl)
{
    OSStatus err = make_control(window, boundsRect, CarbonStandIn::Kind::PushButton, outControl);
    if (err != noErr) return err;
    (*outControl)->text = utf8(title);
    return made(*outControl);
}

void DisposeControl(ControlRef theControl)
{
    if (!alive(theControl)) return;
    if (theControl->window->root == theControl) theControl->window->root = nullptr;
    destroy(theControl);
}

OSErr EmbedControl(ControlRef inControl, ControlRef inContainer)
{
    if (!alive(inControl) || !alive(inContainer)) return errUnknownControl;
    if (inControl->kind == CarbonStandIn::Kind::Root) return errCantEmbedRoot;
    if (inControl->window != inContainer->window) return paramErr;
    if (!(inContainer->features & kControlSupportsEmbedding)) return errControlIsNotEmbedder;
    for (ControlRef c = inContainer; c; c = c->parent)
        if (c == inControl) return errCantEmbedIntoSelf;
    detach(inControl);
    inControl->parent = inContainer;
    inContainer->children.push_back(inControl);
    return noErr;
}

Rect* GetControlBounds(ControlRef control, Rect* bounds)
{
    if (bounds) *bounds = alive(control) ? control->bounds : Rect{};
    return bounds;
}

void SizeControl(ControlRef theControl, SInt16 w, SInt16 h)
{
    if (!alive(theControl)) return;
    theControl->bounds.right = (SInt16)(theControl->bounds.left + w);
    theControl->bounds.bottom = (SInt16)(theControl->bounds.top + h);
}

OSStatus SetControlCommandID(ControlRef inControl, UInt32 inCommandID)
{
    if (!alive(inControl)) return errUnknownControl;
    inControl->commandID = inCommandID;
    return noErr;
}

OSErr SetControlFontStyle(ControlRef inControl, const ControlFontStyleRec* inStyle)
{
    if (!alive(inControl)) return errUnknownControl;
    if (!inStyle) return paramErr;
    inControl->styled = true;
    inControl->style = *inStyle;
    return noErr;
}

OSErr SetControlData(ControlRef inControl, ControlPartCode, ResType inTagName, Size inSize, const void* inData)
{
    if (!alive(inControl)) return errUnknownControl;
    if (inControl->kind != CarbonStandIn::Kind::StaticText) return errDataNotSupported;
    if (inSize < 0 || (inSize > 0 && !inData)) return paramErr;
    if (inTagName == kControlStaticTextCFStringTag) {
        if (inSize != (Size)sizeof(CFStringRef)) return paramErr;
        CFStringRef s;
        std::memcpy(&s, inData, sizeof s);
        inControl->text = utf8(s);
        return noErr;
    }
    if (inTagName == kControlStaticTextTextTag) {
        inControl->text.assign(static_cast<const char*>(inData), (size_t)inSize);
        return noErr;
    }
    return errDataNotSupported;
}

void Draw1Control(ControlRef theControl)
{
    if (alive(theControl)) draw(theControl);
}

EventTargetRef GetControlEventTarget(ControlRef inControl) { return alive(inControl) ? &inControl->target : nullptr; }

// ------------------------------------------------------------------- events

OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler, ItemCount inNumTypes,
                             const EventTypeSpec* inList, void* inUserData, EventHandlerRef* outRef)
{
    if (outRef) *outRef = nullptr;
    if (!inTarget || !inHandler || (inNumTypes && !inList)) return paramErr;
    if (!alive(inTarget->window) && !alive(inTarget->control)) return paramErr;
    EventHandlerRef h = new OpaqueEventHandlerRef{inTarget, inHandler,
                                                  std::vector<EventTypeSpec>(inList, inList + inNumTypes), inUserData};
    born(h);
    ++g_live_handlers;
    inTarget->handlers.push_back(h);
    if (outRef) *outRef = h;
    return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef)
{
    if (!alive(inHandlerRef)) return paramErr;
    auto& list = inHandlerRef->target->handlers;
    list.erase(std::remove(list.begin(), list.end(), inHandlerRef), list.end());
    died(inHandlerRef);
    delete inHandlerRef;
    --g_live_handlers;
    return noErr;
}

OSStatus CreateEvent(CFAllocatorRef, UInt32 inClassID, UInt32 inKind, EventTime, EventAttributes, EventRef* outEvent)
{
    if (!outEvent) return paramErr;
    EventRef e = new OpaqueEventRef;
    e->eventClass = inClassID;
    e->eventKind = inKind;
    *outEvent = e;
    return noErr;
}

void ReleaseEvent(EventRef inEvent)
{
    if (inEvent && --inEvent->refs == 0) delete inEvent;
}

OSStatus SetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inType, ByteCount inSize,
                           const void* inDataPtr)
{
    if (!inEvent || (inSize && !inDataPtr)) return paramErr;
    const UInt8* p = static_cast<const UInt8*>(inDataPtr);
    inEvent->params[inName] = {inType, std::vector<UInt8>(p, p + inSize)};
    return noErr;
}

OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize, ByteCount* outActualSize,
                           void* outData)
{
    if (!inEvent) return paramErr;
    auto it = inEvent->params.find(inName);
    if (it == inEvent->params.end()) return eventParameterNotFoundErr;
    const auto& [type, bytes] = it->second;
    if (inDesiredType != typeWildCard && inDesiredType != type) return errAECoercionFail;
    if (outActualType) *outActualType = type;
    if (outActualSize) *outActualSize = bytes.size();
    if (outData && inBufferSize) std::memcpy(outData, bytes.data(), std::min<size_t>(inBufferSize, bytes.size()));
    return noErr;
}

OSStatus SendEventToEventTarget(EventRef inEvent, EventTargetRef inTarget)
{
    if (!inEvent || !inTarget) return paramErr;
    // The owners up the embedding, found before any handler runs: a handler
    // may dispose of a control or a window on the way.
    struct Owner {
        ControlRef control;
        WindowRef window;
    };
    std::vector<Owner> owners;
    if (alive(inTarget->control)) {
        for (ControlRef c = inTarget->control; c; c = c->parent) owners.push_back({c, nullptr});
        owners.push_back({nullptr, inTarget->control->window});
    } else if (alive(inTarget->window)) {
        owners.push_back({nullptr, inTarget->window});
    } else {
        return paramErr;
    }
    ++inEvent->refs;
    OSStatus result = eventNotHandledErr;
    for (const Owner& o : owners) {
        if (!alive(o.control ? static_cast<const void*>(o.control) : o.window)) break;
        EventTargetRef t = o.control ? &o.control->target : &o.window->target;
        std::vector<EventHandlerRef> handlers(t->handlers.rbegin(), t->handlers.rend());
        for (EventHandlerRef h : handlers) {
            if (!alive(h) || !matches(h, inEvent)) continue;
            result = h->proc(nullptr, inEvent, h->userData);
            if (result != eventNotHandledErr) break;
        }
        if (result != eventNotHandledErr) break;
    }
    ReleaseEvent(inEvent);
    return result;
}

} // extern "C"

// ------------------------------------------------------------------ records

namespace CarbonStandIn {
namespace {

void collect(ControlRef c, std::vector<Control>& out)
{
    for (ControlRef child : c->children) {
        out.push_back(static_cast<const Control&>(*child));
        collect(child, out);
    }
}

OSStatus send_command(EventTargetRef target, UInt32 attributes, UInt32 commandID)
{
    EventRef e;
    CreateEvent(nullptr, kEventClassCommand, kEventCommandProcess, 0, 0, &e);
    HICommand command = {};
    command.attributes = attributes;
    command.commandID = commandID;
    SetEventParameter(e, kEventParamDirectObject, typeHICommand, sizeof command, &command);
    OSStatus status = SendEventToEventTarget(e, target);
    ReleaseEvent(e);
    return status;
}

} // namespace

std::vector<Control> controls(WindowRef window)
{
    std::vector<Control> out;
    if (alive(window) && window->root) collect(window->root, out);
    return out;
}

OSStatus pressButton(ControlRef button)
{
    if (!alive(button) || button->kind != Kind::PushButton) return errUnknownControl;
    EventRef hit;
    CreateEvent(nullptr, kEventClassControl, kEventControlHit, 0, 0, &hit);
    SetEventParameter(hit, kEventParamDirectObject, typeControlRef, sizeof button, &button);
    SendEventToEventTarget(hit, &button->target);
    ReleaseEvent(hit);
    if (!alive(button)) return eventNotHandledErr;
    return button->commandID ? send_command(&button->target, kHICommandFromControl, button->commandID)
                             : (OSStatus)eventNotHandledErr;
}

OSStatus sendCommand(WindowRef window, UInt32 commandID)
{
    if (!alive(window)) return errInvalidWindowRef;
    return send_command(&window->target, kHICommandFromMenu, commandID);
}

int liveEventHandlers() { return g_live_handlers; }

} // namespace CarbonStandIn
