// The choose-file dialog, answered by tests.
#include "carbon_objects.h"

#include <deque>

using qmcarbon::alive;
using qmcarbon::born;
using qmcarbon::died;
using qmcarbon::utf8;

struct __NavDialog {
    NavEventUPP proc = nullptr;
    void* userData = nullptr;
    NavUserAction action = kNavUserActionNone;
    std::string chosen;
    bool ran = false;
    size_t record = 0; // index into the choosers
};

namespace {

std::deque<CarbonStandIn::ChooserAnswer> g_answers;
std::vector<CarbonStandIn::Chooser> g_choosers;
int g_live_dialogs = 0;
int g_live_replies = 0;

} // namespace

extern "C" {

OSStatus NavGetDefaultDialogCreationOptions(NavDialogCreationOptions* outOptions)
{
    if (!outOptions) return paramErr;
    *outOptions = NavDialogCreationOptions{};
    outOptions->optionFlags = kNavDefaultNavDlogOptions;
    outOptions->location = Point{-1, -1};
    outOptions->modality = kWindowModalityAppModal;
    return noErr;
}

OSStatus NavCreateChooseFileDialog(const NavDialogCreationOptions* inOptions, NavTypeListHandle inTypeList,
                                   NavEventUPP inEventProc, NavPreviewUPP inPreviewProc,
                                   NavObjectFilterUPP inFilterProc, void* inClientData, NavDialogRef* outDialog)
{
    if (!outDialog) return paramErr;
    *outDialog = nullptr;
    if (!inOptions) return paramErr;
    CarbonStandIn::Chooser c;
    c.optionFlags = inOptions->optionFlags;
    c.modality = inOptions->modality;
    c.message = utf8(inOptions->message);
    c.clientName = utf8(inOptions->clientName);
    c.typeList = inTypeList != nullptr;
    c.previewProc = inPreviewProc != nullptr;
    c.filterProc = inFilterProc != nullptr;
    g_choosers.push_back(c);

    NavDialogRef d = new __NavDialog;
    d->proc = inEventProc;
    d->userData = inClientData;
    d->record = g_choosers.size() - 1;
    born(d);
    ++g_live_dialogs;
    *outDialog = d;
    return noErr;
}

OSStatus NavDialogRun(NavDialogRef inDialog)
{
    if (!alive(inDialog)) return paramErr;
    if (inDialog->ran) return kNavWrongDialogStateErr;
    inDialog->ran = true;
    if (inDialog->record < g_choosers.size()) g_choosers[inDialog->record].ran = true;

    CarbonStandIn::ChooserAnswer answer;
    if (!g_answers.empty()) {
        answer = g_answers.front();
        g_answers.pop_front();
    }
    if (answer.what == CarbonStandIn::ChooserAnswer::RunFails) return answer.error;
    if (answer.what == CarbonStandIn::ChooserAnswer::Choose) {
        inDialog->action = kNavUserActionChoose;
        inDialog->chosen = answer.path;
    } else {
        inDialog->action = kNavUserActionCancel;
    }
    // The callback may dispose of the dialog when it ends: nothing of it is
    // touched after that.
    NavEventUPP proc = inDialog->proc;
    void* ud = inDialog->userData;
    NavCBRec rec = {};
    rec.context = inDialog;
    if (proc) {
        proc(kNavCBStart, &rec, ud);
        rec.userAction = inDialog->action;
        proc(kNavCBUserAction, &rec, ud);
        rec.userAction = kNavUserActionNone;
        proc(kNavCBTerminate, &rec, ud);
    }
    return noErr;
}

void NavDialogDispose(NavDialogRef inDialog)
{
    if (!alive(inDialog)) return;
    died(inDialog);
    delete inDialog;
    --g_live_dialogs;
}

NavUserAction NavDialogGetUserAction(NavDialogRef inDialog)
{
    return alive(inDialog) ? inDialog->action : (NavUserAction)kNavUserActionNone;
}

OSStatus NavDialogGetReply(NavDialogRef inDialog, NavReplyRecord* outReply)
{
    if (!outReply) return paramErr;
    *outReply = NavReplyRecord{};
    outReply->selection.descriptorType = typeNull;
    if (!alive(inDialog)) return paramErr;
    // Any other action leaves a reply that holds nothing.
    if (inDialog->action != kNavUserActionChoose && inDialog->action != kNavUserActionOpen) return noErr;
    FSRef ref;
    OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(inDialog->chosen.c_str()), &ref, nullptr);
    if (err != noErr) return err;
    err = AECreateList(nullptr, 0, false, &outReply->selection);
    if (err == noErr) err = AEPutPtr(&outReply->selection, 0, typeFSRef, &ref, sizeof ref);
    if (err != noErr) {
        AEDisposeDesc(&outReply->selection);
        return err;
    }
    outReply->validRecord = true;
    ++g_live_replies;
    return noErr;
}

OSErr NavDisposeReply(NavReplyRecord* inReply)
{
    if (!inReply) return paramErr;
    if (inReply->validRecord) --g_live_replies;
    AEDisposeDesc(&inReply->selection);
    inReply->validRecord = false;
    return noErr;
}

} // extern "C"

namespace CarbonStandIn {

void answerChooser(const ChooserAnswer& answer) { g_answers.push_back(answer); }

std::vector<Chooser> choosers() { return g_choosers; }

int liveNavDialogs() { return g_live_dialogs; }
int liveNavReplies() { return g_live_replies; }

void reset()
{
    g_answers.clear();
    g_choosers.clear();
}

} // namespace CarbonStandIn
