#pragma once
// What the headless Carbon drew and was asked, and how it is to answer: for
// tests and for a host that shows a window as text.
#include <string>
#include <vector>

#include <Carbon/Carbon.h>

#pragma GCC visibility push(default)

namespace CarbonStandIn {

enum class Kind { Root, UserPane, StaticText, PushButton };

struct Control {
    ControlRef ref = nullptr;
    Kind kind = Kind::Root;
    Rect bounds = {};
    std::string text;      // static text or button title, UTF-8
    std::string drawnText; // the text when it was last drawn
    int draws = 0;
    UInt32 commandID = 0;
    bool styled = false;   // style set
    ControlFontStyleRec style = {};
    ControlRef parent = nullptr; // the control it is embedded in
};

// Every control of the window but the root, depth first in embedding order.
std::vector<Control> controls(WindowRef window);

// A click in a push button: a control hit to the button, then the button's
// command (kEventCommandProcess, from the control) to the button's target, on
// up to the window. Returns the command's status: eventNotHandledErr when no
// handler took it.
OSStatus pressButton(ControlRef button);
// A command from a menu, sent to the window.
OSStatus sendCommand(WindowRef window, UInt32 commandID);

struct ChooserAnswer {
    enum What { Choose, Cancel, RunFails };
    What what = Cancel;
    std::string path;      // Choose: an object that exists
    OSStatus error = kNavWrongDialogStateErr; // RunFails: what NavDialogRun returns
};
// Answers for the next choose-file dialogs, in order; none left: cancel.
void answerChooser(const ChooserAnswer& answer);

// One choose-file dialog as it was created.
struct Chooser {
    NavDialogOptionFlags optionFlags = 0;
    WindowModality modality = 0;
    std::string message;
    std::string clientName;
    bool typeList = false, previewProc = false, filterProc = false;
    bool ran = false;
};
std::vector<Chooser> choosers();

// Dialogs and replies not yet disposed of.
int liveNavDialogs();
int liveNavReplies();
// Event handlers installed and not yet removed (nor gone with their target).
int liveEventHandlers();

// Forgets the records and the answers left; windows stay.
void reset();

} // namespace CarbonStandIn

#pragma GCC visibility pop
