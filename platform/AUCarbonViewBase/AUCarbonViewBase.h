#pragma once
// The base of an Audio Unit's Carbon editor view: the component a host opens
// beside the unit, which builds its controls in a pane of the host's window.
// A view derives from it, builds its controls in CreateUI and exports its
// entry point with COMPONENT_ENTRY.
#include <AUPublic/ComponentBase.h>
#include <AudioUnit/AudioUnit.h>
#include <AudioUnit/AudioUnitCarbonView.h>
#include <Carbon/Carbon.h>

class AUCarbonViewBase : public ComponentBase {
public:
    // inNotificationInterval: how often, in seconds, the view hears of
    // parameter changes.
    explicit AUCarbonViewBase(ComponentInstance inInstance, Float32 inNotificationInterval = 0.1f);
    // Disposes of the pane and everything embedded in it.
    ~AUCarbonViewBase() override;

    // What the host's AudioUnitCarbonViewCreate reaches: makes the pane at
    // inLocation of inSize in inParentControl (the window's root control when
    // null), then calls CreateUI with the pane's location.
    OSStatus CreateCarbonView(AudioUnit inAudioUnit, WindowRef inWindow, ControlRef inParentControl,
                              const Float32Point& inLocation, const Float32Point& inSize,
                              ControlRef& outParentControl);

    // Builds the view's controls with (inXOffset, inYOffset) as their origin,
    // in window coordinates.
    virtual OSStatus CreateUI(Float32 inXOffset, Float32 inYOffset);
    // The control events that reach the pane; true when taken.
    virtual bool HandleEvent(EventRef event);

    AudioUnit GetEditAudioUnit() const { return mEditAudioUnit; }
    WindowRef GetCarbonWindow() const { return mCarbonWindow; }
    ControlRef GetCarbonPane() const { return mCarbonPane; }
    Float32 GetNotificationInterval() const { return mNotificationInterval; }

    // Embeds a control in the pane and notes the bottom-right corner of all
    // embedded so far (mBottomRight).
    OSStatus EmbedControl(ControlRef ctl);

    static ComponentResult ComponentEntryDispatch(ComponentParameters* params, AUCarbonViewBase* This);

protected:
    AudioUnit mEditAudioUnit = nullptr;
    WindowRef mCarbonWindow = nullptr;
    ControlRef mCarbonPane = nullptr;
    Point mBottomRight = {0, 0};
    Float32 mNotificationInterval;

private:
    static OSStatus PaneEventHandler(EventHandlerCallRef inCall, EventRef inEvent, void* inView);

    EventHandlerRef mPaneHandler = nullptr;
};
