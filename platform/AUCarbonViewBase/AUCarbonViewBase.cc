#include <AUCarbonViewBase/AUCarbonViewBase.h>

AUCarbonViewBase::AUCarbonViewBase(ComponentInstance inInstance, Float32 inNotificationInterval)
    : ComponentBase(inInstance), mNotificationInterval(inNotificationInterval)
{
}

AUCarbonViewBase::~AUCarbonViewBase()
{
    if (mPaneHandler) RemoveEventHandler(mPaneHandler);
    if (mCarbonPane) DisposeControl(mCarbonPane);
}

OSStatus AUCarbonViewBase::CreateCarbonView(AudioUnit inAudioUnit, WindowRef inWindow, ControlRef inParentControl,
                                            const Float32Point& inLocation, const Float32Point& inSize,
                                            ControlRef& outParentControl)
{
    if (mCarbonPane) return kAudioUnitErr_Initialized; // one view per instance
    mEditAudioUnit = inAudioUnit;
    mCarbonWindow = inWindow;

    const SInt16 x = (SInt16)inLocation.x, y = (SInt16)inLocation.y;
    Rect r = {y, x, (SInt16)(y + (SInt16)inSize.y), (SInt16)(x + (SInt16)inSize.x)};
    OSStatus err = CreateUserPaneControl(inWindow, &r, kControlSupportsEmbedding, &mCarbonPane);
    if (err != noErr) return err;
    if (inParentControl) {
        err = ::EmbedControl(mCarbonPane, inParentControl);
        if (err != noErr) return err;
    }
    mBottomRight = Point{y, x};

    const EventTypeSpec events[] = {{kEventClassControl, kEventControlHit}};
    err = InstallEventHandler(GetControlEventTarget(mCarbonPane), NewEventHandlerUPP(PaneEventHandler),
                              sizeof events / sizeof events[0], events, this, &mPaneHandler);
    if (err != noErr) return err;

    err = CreateUI(inLocation.x, inLocation.y);
    if (err != noErr) return err;
    outParentControl = mCarbonPane;
    return noErr;
}

OSStatus AUCarbonViewBase::CreateUI(Float32, Float32) { return noErr; }

bool AUCarbonViewBase::HandleEvent(EventRef) { return false; }

OSStatus AUCarbonViewBase::EmbedControl(ControlRef ctl)
{
    OSStatus err = ::EmbedControl(ctl, mCarbonPane);
    if (err != noErr) return err;
    Rect r;
    GetControlBounds(ctl, &r);
    if (r.right > mBottomRight.h) mBottomRight.h = r.right;
    if (r.bottom > mBottomRight.v) mBottomRight.v = r.bottom;
    return noErr;
}

OSStatus AUCarbonViewBase::PaneEventHandler(EventHandlerCallRef, EventRef inEvent, void* inView)
{
    return static_cast<AUCarbonViewBase*>(inView)->HandleEvent(inEvent) ? (OSStatus)noErr
                                                                         : (OSStatus)eventNotHandledErr;
}

ComponentResult AUCarbonViewBase::ComponentEntryDispatch(ComponentParameters* params, AUCarbonViewBase* This)
{
    // paramSize is not looked at, as on the platform.
    switch (params->what) {
    case kComponentCanDoSelect: {
        const SInt16 what = (SInt16)ComponentArgument(params, 0, 1);
        return what == kComponentOpenSelect || what == kComponentCloseSelect || what == kComponentCanDoSelect ||
               what == kComponentVersionSelect || what == kAudioUnitCarbonViewCreateSelect;
    }
    case kComponentVersionSelect:
        return This->Version();
    case kAudioUnitCarbonViewCreateSelect: {
        // The unit, window, parent control, location, size and the pane made.
        auto ptr = [params](int i) { return reinterpret_cast<void*>(ComponentArgument(params, i, 6)); };
        const Float32Point* location = static_cast<const Float32Point*>(ptr(3));
        const Float32Point* size = static_cast<const Float32Point*>(ptr(4));
        ControlRef* out = static_cast<ControlRef*>(ptr(5));
        if (!ptr(1) || !location || !size || !out) return paramErr;
        return This->CreateCarbonView(static_cast<AudioUnit>(ptr(0)), static_cast<WindowRef>(ptr(1)),
                                      static_cast<ControlRef>(ptr(2)), *location, *size, *out);
    }
    default:
        return badComponentSelector;
    }
}
