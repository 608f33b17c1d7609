// The first half of a run: block set-up, command and tap detection, and the
// command-by-state table. The sample walk (processBlock) follows.
#include "quillomat_internal.h"

#include <cstring>

namespace dsp = Quillomat::dsp;

namespace {

// Control values are read afresh every block; NaN reads as 0.
float readPort(const LADSPA_Data* p, float dflt = 0.0f) {
    if (!p) return dflt;
    const float v = *p;
    return v == v ? v : 0.0f;
}

struct Cmd {
    QuillomatI* q;
    QmBlock* b;
    float step;   // +1/N
    bool synced;  // sync mode on: commands wait for a sync point
    bool quant;   // quantize on
    bool free() const { return !synced && !quant; }
    LoopChunk* loop() const { return q->headLoopChunk; }
};

bool isRecording(int state) { return state == STATE_RECORD || state == STATE_REC_ENDING; }

void cancelPending(QuillomatI* q) {
    q->nextState = -1;
    q->waitingForSync = 0;
    q->rounding = false;
}

void pulse(const Cmd& c) {
    if (c.b->SampleCount > 0) c.q->pfSyncOutput[0] = 1.0f;
}

void toPlay(const Cmd& c) {
    c.q->state = STATE_PLAY;
    c.q->wasMuted = false;
    qmPlayFades(c.q, c.step);
}

int resumeState(const QuillomatI* q) { return q->wasMuted ? STATE_MUTE : STATE_PLAY; }

void resume(const Cmd& c) {
    QuillomatI* q = c.q;
    if (q->wasMuted) {
        q->state = STATE_MUTE;
        qmMuteFades(q, c.step);
    } else {
        q->state = STATE_PLAY;
        qmPlayFades(q, c.step);
    }
}

void toOneShot(const Cmd& c) {
    QuillomatI* q = c.q;
    qmPlayFades(q, c.step);
    q->state = STATE_ONESHOT;
    if (c.loop()) qmRestart(q, c.loop());
}

// A command that waits for the next sync point. A recording runs on to it;
// an armed recording or a delay line stops, and the loop plays meanwhile.
void defer(const Cmd& c, int next) {
    QuillomatI* q = c.q;
    if (!c.loop()) return;
    if (q->state == STATE_RECORD) q->state = STATE_REC_ENDING;
    else if (q->state == STATE_REC_WAIT || q->state == STATE_DELAY) resume(c);
    q->nextState = next;
    q->waitingForSync = 1;
}

typedef LoopChunk* (*BeginOp)(QuillomatI*, LoopChunk*);

// Begins a new version; a recording that cannot go on into it ends and plays.
void begin(const Cmd& c, BeginOp op) {
    if (!c.loop()) return;
    const bool wasRecording = isRecording(c.q->state);
    if (!op(c.q, c.loop()) && wasRecording) {
        cancelPending(c.q);
        toPlay(c);
    }
}

// A new version begun at once, marked by a sync pulse, or at the next sync
// point.
void beginOrDefer(const Cmd& c, BeginOp op, int next) {
    if (!c.free()) {
        defer(c, next);
        return;
    }
    begin(c, op);
    pulse(c);
}

// A command given while a multiply or an insert runs ends it, into the state
// the command asks for. True when it did so: the command is then done.
bool endsMultiplyOrInsert(const Cmd& c, int afterMultiply, int afterInsert) {
    switch (c.q->state) {
    case STATE_MULTIPLY: endMultiply(c.q, c.loop(), afterMultiply); return true;
    case STATE_INSERT: endInsert(c.q, c.loop(), afterInsert); return true;
    default: return false;
    }
}

bool endsMultiplyOrInsert(const Cmd& c, int next) { return endsMultiplyOrInsert(c, next, next); }

// Leaving the tap delay for a loop command: the delay chunk is dropped and
// the loop it was made over plays again, so nothing writes into that loop
// as if it were the delay line.
void leaveDelay(const Cmd& c) {
    if (c.loop()) undoLoop(c.q);
    cancelPending(c.q);
    resume(c);
}

// A version cut short by RECORD: from now on it is one cycle of the length it
// has, what copy-on-play still owes in front of the position is cut to that,
// and it plays.
void playAsOneCycle(const Cmd& c, LoopChunk* l) {
    l->lCycleLength = l->lLoopLength;
    l->lCycles = 1;
    if (l->frontfill) qmSetFront(l, l->lMarkL, l->lMarkH);
    cancelPending(c.q);
    toPlay(c);
}

// RECORD while multiplying: the multiply ends now, one cycle of what has been
// built so far. The position is already counted from the multiply's start.
void recordEndsMultiply(const Cmd& c) {
    QuillomatI* q = c.q;
    LoopChunk* l = c.loop();
    const uint32_t length = qmToUnsigned(l->dCurrPos);
    if (length == 0) {
        // Nothing recorded yet: keep the loop as it was.
        undoLoop(q);
        cancelPending(q);
        toPlay(c);
        return;
    }
    // What the multiply played fades out as the new loop fades in from its
    // start.
    qmFadeOutHeard(q);
    qmClearBack(l);
    l->lLoopLength = length;
    l->mult_out = 0;
    playAsOneCycle(c, l);
    qmFadeCutIntoStart(q, l);
    q->fPlayFadeAtten = 0.0f;
}

// RECORD while inserting: the insert ends now and the rest of the source
// follows the inserted material.
void recordEndsInsert(const Cmd& c) {
    QuillomatI* q = c.q;
    LoopChunk* l = c.loop();
    const LoopChunk* s = l->srcloop;
    const uint32_t srcLen = s ? s->lLoopLength : l->lLoopLength;
    const uint32_t pos = qmToUnsigned(l->dCurrPos);
    const uint32_t inserted = pos > l->lInsPos ? pos - l->lInsPos : 0;
    const uint64_t length = (uint64_t)srcLen + inserted;
    l->lLoopLength = length > q->lBufferSize ? q->lBufferSize : (uint32_t)length;
    l->lEndAdj = inserted;
    qmSetBack(l, pos, (int64_t)l->lLoopLength - 1);
    playAsOneCycle(c, l);
}

// The second tap: the delay line becomes as long as the time since the first.
// Its memory is claimed through the history, so older versions it overwrites
// leave the history instead of coming back corrupted.
void setDelayLength(const Cmd& c) {
    QuillomatI* q = c.q;
    LoopChunk* l = c.loop();
    const uint32_t taps = q->lTapTrigSamples;
    l->lLoopLength = 0;
    uint32_t length = 0;
    if (taps <= q->lBufferSize && ensureLoopSpace(q, l, taps, nullptr)) length = taps;
    else qmRefuse(q);
    l->lLoopLength = length;
    l->lCycleLength = length;
    l->lCycles = 1;
    q->lTapTrigSamples = 0;
    l->dCurrPos = 0.0;
    qmClearFront(l);
    qmSetBack(l, 0, (int64_t)length - 1);
}

void startDelay(const Cmd& c) {
    QuillomatI* q = c.q;
    // A fresh record, with no source and nothing to copy; it only takes the
    // lengths and position of the head over.
    LoopChunk* l = pushNewLoopChunk(q, 0, nullptr);
    if (!l) return;
    q->state = STATE_DELAY;
    l->lLoopLength = 0;
    l->lCycleLength = 0;
    l->lCycles = 1;
    l->dCurrPos = 0.0;
    q->bHoldMode = 0;
    q->lTapTrigSamples = 0;
}

void toggleCell(float* cell) {
    if (cell) *cell = *cell == 0.0f ? 1.0f : 0.0f;
}

void cmdUndo(const Cmd& c) {
    QuillomatI* q = c.q;
    switch (q->state) {
    case STATE_OFF:
    case STATE_SCRATCH:
    case STATE_ONESHOT:
        return;
    case STATE_MULTIPLY:
    case STATE_INSERT:
    case STATE_DELAY:
        // An unfinished version cannot be played: drop it; or, with nothing
        // older left to play, finish it here.
        q->fNextCurrRate = 0.0f;
        if (c.loop() && !undoLoop(q)) {
            cancelPending(q);
            endsMultiplyOrInsert(c, resumeState(q));
            return;
        }
        break;
    default:
        if (q->state > STATE_SUBSTITUTE) return;
        if (q->waitingForSync) {
            q->waitingForSync = 0;
            q->nextState = -1;
        } else if (q->fNextCurrRate != 0.0f) {
            q->fNextCurrRate = 0.0f;
        } else if (c.loop()) {
            undoLoop(q);
        }
        break;
    }
    cancelPending(q);
    resume(c);
}

void cmdRedo(const Cmd& c) {
    QuillomatI* q = c.q;
    switch (q->state) {
    case STATE_OFF:
    case STATE_DELAY:
    case STATE_SCRATCH:
    case STATE_ONESHOT:
    // A multiply or insert has nothing to redo, and resuming play in the
    // middle of one would play memory it has not written yet.
    case STATE_MULTIPLY:
    case STATE_INSERT:
        return;
    default:
        if (q->state > STATE_SUBSTITUTE) return;
        redoLoop(q);
        resume(c);
        break;
    }
}

void cmdReplaceOrSubstitute(const Cmd& c, int self) {
    QuillomatI* q = c.q;
    if (endsMultiplyOrInsert(c, self)) return;
    if (q->state == self) {
        if (c.free()) {
            toPlay(c);
            pulse(c);
        } else {
            q->nextState = STATE_PLAY;
            q->waitingForSync = 1;
        }
        return;
    }
    if (self == STATE_REPLACE && q->state == STATE_DELAY) {
        q->bHoldMode = !q->bHoldMode;
        return;
    }
    beginOrDefer(c, self == STATE_REPLACE ? beginReplace : beginSubstitute, self);
}

void cmdReverse(const Cmd& c) {
    QuillomatI* q = c.q;
    switch (q->state) {
    case STATE_RECORD:
    case STATE_REC_ENDING:
        // The recording ends and plays backwards.
        qmReverseNow(q, -q->fCurrRate);
        cancelPending(q);
        toPlay(c);
        return;
    case STATE_MULTIPLY:
    case STATE_INSERT:
    case STATE_SCRATCH:
        return;
    default:
        // With quantize on it waits for the next sync point; a loop still
        // relaying its source holds it until that is done (processBlock).
        if (!c.quant && qmCanTurn(c.loop())) qmReverseNow(q, -q->fCurrRate);
        else q->fNextCurrRate = -q->fCurrRate;
        return;
    }
}

bool fillsDone(const LoopChunk* l) { return l && !l->frontfill && !l->backfill; }

void cmdScratch(const Cmd& c) {
    QuillomatI* q = c.q;
    LoopChunk* l = c.loop();
    switch (q->state) {
    case STATE_RECORD:
    case STATE_REC_ENDING:
        if (!l) return;
        qmTurn(q, nullptr, 0.0, -1.0f);
        cancelPending(q);
        toOneShot(c);
        return;
    case STATE_PLAY:
        if (fillsDone(l)) q->state = STATE_SCRATCH;
        return;
    case STATE_MUTE:
    case STATE_ONESHOT:
        toPlay(c);
        if (l) l->dCurrPos = 0.0;
        return;
    case STATE_SCRATCH:
        toPlay(c);
        return;
    case STATE_OFF:
    case STATE_REC_WAIT:
        // Scratching skips positions, so only a loop that no longer copies
        // from an older version may be scratched.
        if (l && !fillsDone(l)) return;
        toPlay(c);
        q->state = STATE_SCRATCH;
        return;
    default:
        return;
    }
}

void cmdRecord(const Cmd& c) {
    QuillomatI* q = c.q;
    switch (q->state) {
    case STATE_RECORD:
        if (!c.synced && c.b->fTrigThresh == 0.0f) {
            toPlay(c);
        } else {
            q->state = STATE_REC_ENDING;
            q->nextState = STATE_PLAY;
        }
        return;
    case STATE_MULTIPLY:
        if (c.loop()) recordEndsMultiply(c);
        return;
    case STATE_INSERT:
        if (c.loop()) recordEndsInsert(c);
        return;
    case STATE_DELAY:
        if (c.loop()) undoLoop(q);
        cancelPending(q);
        q->state = STATE_REC_WAIT;
        return;
    default:
        q->state = STATE_REC_WAIT;
        return;
    }
}

void cmdOverdub(const Cmd& c) {
    QuillomatI* q = c.q;
    if (endsMultiplyOrInsert(c, STATE_OVERDUB)) return;
    switch (q->state) {
    case STATE_OVERDUB:
        toPlay(c);
        return;
    case STATE_DELAY:
        leaveDelay(c);
        if (!c.synced) begin(c, beginOverdub);
        else if (c.loop()) defer(c, STATE_OVERDUB);
        return;
    case STATE_RECORD:
    case STATE_REC_ENDING:
        if (!c.synced) {
            begin(c, beginOverdub);
        } else {
            q->state = STATE_REC_ENDING;
            q->nextState = STATE_OVERDUB;
            q->waitingForSync = 1;
        }
        return;
    default:
        begin(c, beginOverdub);
        return;
    }
}

// MULTIPLY while multiplying: the first one ends the multiply after the
// cycles made so far, each further one asks for one cycle more.
void multiplyAgain(const Cmd& c, LoopChunk* l) {
    if (l->mult_out >= 1) {
        l->mult_out += 1;
    } else {
        l->mult_out = (int)l->lCycles;
        if (c.synced) {
            c.q->nextState = STATE_PLAY;
            c.q->waitingForSync = 1;
        } else {
            endMultiply(c.q, l, STATE_PLAY);
        }
    }
    if (!c.synced) pulse(c);
}

void cmdMultiply(const Cmd& c) {
    QuillomatI* q = c.q;
    switch (q->state) {
    case STATE_INSERT:
        endInsert(q, c.loop(), STATE_MULTIPLY);
        return;
    case STATE_MULTIPLY:
        if (c.loop()) multiplyAgain(c, c.loop());
        return;
    case STATE_DELAY:
        leaveDelay(c);
        break;
    default:
        break;
    }
    beginOrDefer(c, beginMultiply, STATE_MULTIPLY);
}

void cmdInsert(const Cmd& c) {
    if (endsMultiplyOrInsert(c, STATE_INSERT, STATE_PLAY)) return;
    switch (c.q->state) {
    case STATE_MUTE:
    case STATE_ONESHOT:
        if (c.loop()) toOneShot(c);
        return;
    case STATE_DELAY:
        leaveDelay(c);
        break;
    default:
        break;
    }
    if (c.free()) begin(c, beginInsert);
    else defer(c, STATE_INSERT);
}

void cmdMute(const Cmd& c) {
    QuillomatI* q = c.q;
    if (endsMultiplyOrInsert(c, STATE_MUTE)) return;
    switch (q->state) {
    case STATE_MUTE:
    case STATE_ONESHOT:
        toPlay(c);
        return;
    case STATE_DELAY:
        leaveDelay(c);
        break;
    default:
        break;
    }
    q->state = STATE_MUTE;
    qmMuteFades(q, c.step);
    q->wasMuted = true;
}

void cmdDelay(const Cmd& c) {
    switch (c.q->state) {
    case STATE_DELAY:
        if (c.loop()) setDelayLength(c);
        return;
    case STATE_RECORD:
    case STATE_OVERDUB:
    case STATE_MULTIPLY:
    case STATE_INSERT:
    case STATE_REPLACE:
    case STATE_SUBSTITUTE:
        return;
    default:
        startDelay(c);
        return;
    }
}

void cmdOneShot(const Cmd& c) {
    if (endsMultiplyOrInsert(c, STATE_ONESHOT) || !c.loop()) return;
    if (c.synced) {
        defer(c, STATE_ONESHOT);
        return;
    }
    cancelPending(c.q);
    toOneShot(c);
    pulse(c);
}

void cmdTrigger(const Cmd& c) {
    if (endsMultiplyOrInsert(c, STATE_PLAY) || !c.loop()) return;
    if (c.synced) {
        defer(c, STATE_TRIGGER_PLAY);
        return;
    }
    transitionToNext(c.q, c.loop(), STATE_TRIGGER_PLAY);
    pulse(c);
}

// No loop is left, whatever the history still keeps: redo all brings it
// back. It fades out. Recording and the states that write a version cannot
// stand without a loop and end in play; any other state stays (a mute, a
// delay line, an armed recording), and so does a reverse waiting for a
// sync point.
void emptyLoop(QuillomatI* q, float step) {
    cancelPending(q);
    clearLoopChunks(q);
    qmMuteFades(q, step);
    if (isRecording(q->state) || qmWritesLoop(q->state)) {
        q->state = STATE_PLAY;
        q->wasMuted = false;
    }
}

// Undo all keeps the history for redo all, so a multiply or an insert under
// way is made a whole version first, one that plays through when it comes
// back: a multiply as its cycles so far, the rest of the current one from
// its source; an insert as what was inserted so far, then the rest of its
// source. Either way, and for any take, the cut is faded as a command
// ending the take there would fade it. What was heard fades out.
void cmdUndoAll(const Cmd& c) {
    QuillomatI* q = c.q;
    LoopChunk* l = c.loop();
    qmFadeOutHeard(q);
    if (l && q->state == STATE_MULTIPLY) {
        qmCutToCycles(l);
        l->mult_out = 0;
    } else if (l && q->state == STATE_INSERT) {
        recordEndsInsert(c);
    }
    qmFadeOutTaken(q);
    emptyLoop(q, c.step);
}

void cmdRedoAll(const Cmd& c) {
    QuillomatI* q = c.q;
    if (q->state == STATE_MULTIPLY || q->state == STATE_INSERT) return;
    const bool none = !q->headLoopChunk;
    for (uint32_t i = 0; i <= q->lLoopChunkCount; ++i) {
        LoopChunk* before = q->headLoopChunk;
        redoLoop(q);
        if (q->headLoopChunk == before) break;
    }
    // Brought back from nothing, the loop fades in.
    if (none && q->headLoopChunk && q->headLoopChunk->lLoopLength > 0) q->fPlayFadeAtten = 0.0f;
    resume(c);
}

void dispatch(const Cmd& c, int cmd) {
    switch (cmd) {
    case QM_CMD_UNDO: cmdUndo(c); break;
    case QM_CMD_REDO: cmdRedo(c); break;
    case QM_CMD_REPLACE: cmdReplaceOrSubstitute(c, STATE_REPLACE); break;
    case QM_CMD_REVERSE: cmdReverse(c); break;
    case QM_CMD_SCRATCH: cmdScratch(c); break;
    case QM_CMD_RECORD: cmdRecord(c); break;
    case QM_CMD_OVERDUB: cmdOverdub(c); break;
    case QM_CMD_MULTIPLY: cmdMultiply(c); break;
    case QM_CMD_INSERT: cmdInsert(c); break;
    case QM_CMD_MUTE: cmdMute(c); break;
    case QM_CMD_DELAY: cmdDelay(c); break;
    case QM_CMD_QUANT_TOG: toggleCell(c.q->pfQuantMode); break;
    case QM_CMD_ROUND_TOG: toggleCell(c.q->pfRoundMode); break;
    case QM_CMD_ONESHOT: cmdOneShot(c); break;
    case QM_CMD_TRIGGER: cmdTrigger(c); break;
    case QM_CMD_SUBSTITUTE: cmdReplaceOrSubstitute(c, STATE_SUBSTITUTE); break;
    case QM_CMD_UNDO_ALL: cmdUndoAll(c); break;
    case QM_CMD_REDO_ALL: cmdRedoAll(c); break;
    default: break;  // REDO_TOG and 19..127 do nothing
    }
}

// A tap is a change of the tap port once enough time has passed since the
// last; the first one after activation only arms the tap.
bool tapped(QuillomatI* q) {
    const float tap = *q->pfTapCtrl;
    if (tap != tap) return false;
    const bool changed = tap != q->fLastTapCtrl && q->lTapTrigSamples > QM_TAP_MIN_SAMPLES;
    q->fLastTapCtrl = tap;
    if (!changed) return false;
    if (q->bPreTap) {
        q->bPreTap = 0;
        return false;
    }
    return true;
}

}  // namespace

void qm_empty_loop(LADSPA_Handle instance) {
    if (instance) emptyLoop((QuillomatI*)instance, 1.0f);
}

bool beginBlock(QuillomatI* q, QmBlock* b, unsigned long sampleCount) {
    if (!q || !b || !q->pfInput || !q->pfOutput) return false;
    if (!q->pfSyncInput || !q->pfSyncOutput) {
        // Not runnable as bound: let the input through rather than leave the
        // output buffer stale.
        const float dry = dsp::clamp01(readPort(q->pfDry));
        for (unsigned long i = 0; i < sampleCount; ++i) q->pfOutput[i] = dry * q->pfInput[i];
        return false;
    }

    *b = QmBlock();
    b->SampleCount = sampleCount;

    // 1-3: fade length, modes and safety feedback.
    const unsigned int xfade = qmFadeSamples(q);
    b->xfadeSamples = xfade;
    b->fTrigThresh = readPort(q->pfTrigThresh);
    q->bRateCtrlActive = qmToInt(readPort(q->pfRateCtrlActive));
    b->fSyncMode = readPort(q->pfSyncMode);
    b->fPlaybackSyncMode = readPort(q->pfPlaybackSyncMode);
    b->fQuantizeMode = readPort(q->pfQuantMode);
    b->eighthPerCycle = qmToUnsigned(readPort(q->pfEighthPerCycle));
    b->fTempo = readPort(q->pfTempo);
    b->fSafetyFeedback = readPort(q->pfUseSafetyFeedback) == 0.0f ? 1.0f : 0.96f;
    b->useFeedbackPlay = readPort(q->pfUseFeedbackPlay);

    // 4: the sync grid. An eighth is at least one sample so that nothing
    // divides by it as 0, however fast the tempo.
    b->eighthSamples = 1;
    b->syncSamples = 0;
    if (b->fTempo > 0.0f) {
        const uint32_t eighth = qmToUnsigned((double)q->fSampleRate * 30.0 / (double)b->fTempo);
        b->eighthSamples = eighth > 0 ? eighth : 1;
        uint64_t sync = 0;
        if (b->fQuantizeMode == 1.0f || b->fQuantizeMode == 3.0f)
            sync = (uint64_t)b->eighthSamples * b->eighthPerCycle / 2;
        else if (b->fQuantizeMode == 2.0f)
            sync = b->eighthSamples / 2;
        b->syncSamples = sync > 0xffffffffu ? 0xffffffffu : (uint32_t)sync;
    }

    // 5: a command is a change of the command port.
    const float multi = q->pfMultiCtrl ? *q->pfMultiCtrl : -1.0f;
    int32_t cmd = multi == multi ? qmToInt(multi) : -1;
    if (cmd == q->lLastMultiCtrl) {
        cmd = -1;
    } else {
        q->lLastMultiCtrl = cmd;
    }
    if (cmd == QM_CMD_REDO && readPort(q->pfRedoTapMode) != 0.0f) b->useDelay = true;

    // 6: a tap sets the delay length.
    if (q->pfTapCtrl) {
        if (tapped(q)) {
            cmd = QM_CMD_REDO;
            b->useDelay = true;
        }
        b->fTapTrig = q->fLastTapCtrl;
    }
    b->lMultiCtrl = cmd;

    // 7: ramps over the block, from where the last block ended.
    const uint32_t n = sampleCount > 0xffffffffu ? 0xffffffffu : (uint32_t)sampleCount;
    b->wet = dsp::LinearRamp::over(dsp::clamp01(q->fWetCurr), dsp::clamp01(readPort(q->pfWet)), n);
    b->dry = dsp::LinearRamp::over(dsp::clamp01(q->fDryCurr), dsp::clamp01(readPort(q->pfDry)), n);
    b->feedback = dsp::LinearRamp::over(dsp::clamp01(q->fFeedbackCurr), dsp::clamp01(readPort(q->pfFeedback)), n);
    if (q->pfFeedback) *q->pfFeedback = b->feedback.target;
    if (q->pfScratchPos)
        b->scratch = dsp::LinearRamp::over(dsp::clamp01(q->fScratchPosCurr), dsp::clamp01(*q->pfScratchPos), n);

    // 9: the sync output starts clear, unless incoming sync passes through
    // the shared buffer.
    if (!(b->fSyncMode != 0.0f && q->pfSyncInput == q->pfSyncOutput))
        memset(q->pfSyncOutput, 0, sizeof(float) * sampleCount);

    // 10: dispatch.
    if (cmd >= 0 && cmd <= 127) {
        if (cmd == QM_CMD_REDO && b->useDelay) cmd = QM_CMD_DELAY;
        Cmd c{q, b, dsp::fade_step(xfade), b->fSyncMode != 0.0f, b->fQuantizeMode != 0.0f};
        dispatch(c, cmd);
    }
    qmSettlePending(q);

    b->fRate = q->fCurrRate;
    b->lSampleIndex = 0;
    b->loop = q->headLoopChunk;
    return true;
}

void runQuillomat(LADSPA_Handle instance, unsigned long sampleCount) {
    QuillomatI* q = (QuillomatI*)instance;
    QmBlock b;
    if (!beginBlock(q, &b, sampleCount)) return;
    processBlock(q, &b);
}
