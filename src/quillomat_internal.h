#pragma once
// The loop processor's own records and machinery: the instance record, the
// chunk history over the circular memory, the chunk operations and the two
// stages of a run. Nothing outside the processor includes this (tests and the
// benchmark do, to look inside).
//
// Audio-thread code: nothing here allocates, locks or makes a system call.

#include "dsp.h"
#include "quillomat.h"
#include "utils.h"

#include <cmath>
#include <cstdint>

enum {
    QM_LOOP_CHUNK_COUNT = 512,
    QM_TAP_MIN_SAMPLES = 2204,
};

#define QM_EMPTY_MARK 0x7fffffffu

// How a chunk's memory relates to its source's (LoopChunk::overSource).
enum {
    QM_BESIDE = 0,   // apart from it, the usual case
    QM_IN_STEP = 1,  // over it, each source cell written only right after it is read
    QM_RELAY = 2,    // runs on over its start: the source cells under a cell are
                     // copied to where they belong before that cell is written
};

// ---------------------------------------------------------------------------
// Records

typedef struct _LoopChunk {
    uint32_t lLoopStart;
    uint32_t lLoopLength;
    uint32_t lStartAdj;
    uint32_t lEndAdj;
    uint32_t lInsPos;
    uint32_t lRemLen;
    uint32_t lMarkL, lMarkH;
    uint32_t lMarkEndL, lMarkEndH;
    uint32_t lSyncOffset;
    int firsttime;
    int frontfill;
    int backfill;
    int valid;
    int mult_out;
    uint32_t lCycles;
    uint32_t lCycleLength;
    double dCurrPos;
    float dOrigFeedback;
    int overSource;       // QM_BESIDE, QM_IN_STEP or QM_RELAY
    int fromLoop;         // a change of an earlier version, not a recording or a delay line
    uint32_t lMaxLength;  // the most it may grow to; 0 = as the memory allows
    struct _LoopChunk* srcloop;
    struct _LoopChunk* next;
    struct _LoopChunk* prev;
} LoopChunk;

// The rest of the crossfade out of a take that is no longer played as it
// was: undo all took it away, or RECORD cut a multiply so that its new end
// meets its start. Play would fade the input still going into the take out
// over the cells after the cut while their own content fades in; the walk
// goes on doing that here, sample by sample as the input arrives, until the
// fade is done (quillomat_tail.cc).
typedef struct {
    struct _LoopChunk* chunk;   // null: no fade under way
    struct _LoopChunk* source;  // read on from srcPos and faded out with the input: what a cut
                                // multiply would have taken next; null: none
    uint32_t pos, srcPos;
    float loop, feed;  // the input's level and the cells' own, the envelopes of play
    float carry;       // the source's level
    float step;
    bool forward;
} QmTail;

// What was heard when a command took it out of play (undo all, or RECORD
// cutting a multiply short) plays on by itself as it fades out, so that the
// output does not jump to what plays next (quillomat_tail.cc). The whole fade
// is read when the command comes, before anything writes over the cells it
// reads, and kept here: frame k of it adds gain[k] x the wet level x
// heard[k] to the output. A fade that begins while another runs adds to it.
enum { QM_FADE_FRAMES = 8192 };  // the longest fade out (the top of "Fade samples"), a power of two

typedef struct {
    float gain[QM_FADE_FRAMES];
    float heard[QM_FADE_FRAMES];
    uint32_t first;  // where the next frame of the output is kept
    uint32_t left;   // frames still to add; 0: nothing fading out
} QmFadeOut;

typedef struct {
    float fSampleRate;
    float* pSampleBuf;
    uint32_t lBufferSize;
    uint32_t lBufferSizeMask;
    LoopChunk* pLoopChunks;
    LoopChunk* lastLoopChunk;
    uint32_t lLoopChunkCount;
    float fTotalSecs;

    int state;
    int nextState;
    bool wasMuted;
    int waitingForSync;
    bool recSyncEnded;
    int32_t lLastMultiCtrl;
    float fQuantizeMode;
    float fRoundMode;
    float fRedoTapMode;
    int bHoldMode;
    bool donePlaySync;
    bool rounding;
    uint32_t lTapTrigSamples;
    float fCurrRate;
    float fNextCurrRate;
    float fLastScratchVal;
    uint32_t lScratchSamples;
    float fCurrScratchRate;
    int bRateCtrlActive;
    float fLastTapCtrl;
    int bPreTap;

    LoopChunk* headLoopChunk;
    LoopChunk* tailLoopChunk;

    float fWetCurr;
    float fDryCurr;
    float fScratchPosCurr;
    float fFeedbackCurr;

    float fLoopFadeAtten, fLoopFadeDelta;
    float fPlayFadeAtten, fPlayFadeDelta;
    float fFeedFadeAtten, fFeedFadeDelta;

    uint32_t lSamplesSinceSync;
    uint32_t lMemoryRefusals;  // qm_memory_refusals
    QmTail tail;
    QmFadeOut fadeOut;

    // Ports, in port-number order.
    LADSPA_Data* pfTrigThresh;
    LADSPA_Data* pfDry;
    LADSPA_Data* pfWet;
    LADSPA_Data* pfFeedback;
    LADSPA_Data* pfRate;
    LADSPA_Data* pfScratchPos;
    LADSPA_Data* pfMultiCtrl;
    LADSPA_Data* pfTapCtrl;
    LADSPA_Data* pfUseFeedbackPlay;
    LADSPA_Data* pfQuantMode;
    LADSPA_Data* pfRoundMode;
    LADSPA_Data* pfRedoTapMode;
    LADSPA_Data* pfSyncMode;
    LADSPA_Data* pfRateCtrlActive;
    LADSPA_Data* pfXfadeSamples;
    LADSPA_Data* pfTempo;
    LADSPA_Data* pfPlaybackSyncMode;
    LADSPA_Data* pfEighthPerCycle;
    LADSPA_Data* pfUseSafetyFeedback;
    LADSPA_Data* pfStateOut;
    LADSPA_Data* pfLoopLength;
    LADSPA_Data* pfLoopPos;
    LADSPA_Data* pfCycleLength;
    LADSPA_Data* pfSecsFree;
    LADSPA_Data* pfSecsTotal;
    LADSPA_Data* pfWaiting;
    LADSPA_Data* pfRateOutput;
    LADSPA_Data* pfNextStateOut;
    LADSPA_Data* pfInput;
    LADSPA_Data* pfOutput;
    LADSPA_Data* pfSyncInput;
    LADSPA_Data* pfSyncOutput;
} QuillomatI;

// Values the first half of a run prepares for the sample walk, and the walk's
// own cursor. Lives on the run entry's stack.
typedef struct {
    unsigned long SampleCount;

    unsigned int xfadeSamples;  // "Fade samples", at least 1
    float fTrigThresh;
    float fSyncMode;
    float fPlaybackSyncMode;
    float fQuantizeMode;
    unsigned int eighthPerCycle;
    float fSafetyFeedback;
    float fTempo;
    unsigned int eighthSamples;  // never 0
    unsigned int syncSamples;
    int lMultiCtrl;
    bool useDelay;
    float useFeedbackPlay;
    float fTapTrig;

    // Levels over the block, from where the last block ended to the ports:
    // sample i of the block has level.at(i).
    Quillomat::dsp::LinearRamp wet, dry, feedback, scratch;

    float fRate;  // fCurrRate when the walk starts
    unsigned long lSampleIndex;
    LoopChunk* loop;
} QmBlock;

// ---------------------------------------------------------------------------
// Helpers shared by every stage

// The one way a position or length in float becomes an unsigned count:
// truncates toward zero; NaN and negatives give 0, values past the range give
// the largest count. A raw cast of a negative or NaN float is undefined.
static inline uint32_t qmToUnsigned(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 4294967295.0) return 0xffffffffu;
    return (uint32_t)x;
}

// The same for a control value read as a signed integer (command numbers,
// flags): truncates toward zero; NaN gives 0, values past the range saturate.
static inline int32_t qmToInt(double x) {
    if (!(x == x)) return 0;
    if (x >= 2147483647.0) return 2147483647;
    if (x <= -2147483648.0) return (-2147483647 - 1);
    return (int32_t)x;
}

// "Fade samples" as a count of at least 1.
static inline unsigned int qmFadeSamples(const QuillomatI* q) {
    float n = q->pfXfadeSamples ? *q->pfXfadeSamples : 1.0f;
    return n >= 1.0f ? qmToUnsigned(n) : 1u;
}

// Envelope step for the current "Fade samples": +1/N (fade in).
static inline float qmFadeStep(const QuillomatI* q) { return Quillomat::dsp::fade_step(qmFadeSamples(q)); }

static inline float* qmCell(const QuillomatI* q, const LoopChunk* c, uint32_t pos) {
    return &q->pSampleBuf[(c->lLoopStart + pos) & q->lBufferSizeMask];
}

// An operation given up for lack of memory: counted for the host to see.
static inline void qmRefuse(QuillomatI* q) { ++q->lMemoryRefusals; }

static inline bool qmOwesCopies(const LoopChunk* c) { return c->frontfill || c->backfill; }

static inline void qmClearFront(LoopChunk* c) {
    c->frontfill = 0;
    c->lMarkL = c->lMarkH = QM_EMPTY_MARK;
}

static inline void qmClearBack(LoopChunk* c) {
    c->backfill = 0;
    c->lMarkEndL = c->lMarkEndH = QM_EMPTY_MARK;
}

// A copy-on-play range (its flag and inclusive marks) set to [lo, hi] cut to
// the chunk, or cleared when nothing of it is left. The bounds are signed
// 64-bit so that "position - 1" at 0 or "length - 1" of an empty chunk make
// an empty range instead of wrapping round to the whole memory.
static inline void qmSetRange(const LoopChunk* c, int& fill, uint32_t& markL, uint32_t& markH, int64_t lo,
                              int64_t hi) {
    if (lo < 0) lo = 0;
    if (hi >= (int64_t)c->lLoopLength) hi = (int64_t)c->lLoopLength - 1;
    if (hi < lo) {
        fill = 0;
        markL = markH = QM_EMPTY_MARK;
        return;
    }
    fill = 1;
    markL = (uint32_t)lo;
    markH = (uint32_t)hi;
}

static inline void qmSetFront(LoopChunk* c, int64_t lo, int64_t hi) {
    qmSetRange(c, c->frontfill, c->lMarkL, c->lMarkH, lo, hi);
}

static inline void qmSetBack(LoopChunk* c, int64_t lo, int64_t hi) {
    qmSetRange(c, c->backfill, c->lMarkEndL, c->lMarkEndH, lo, hi);
}

// A multiply cut to the whole cycles it has now; the rest of the current
// cycle comes from the source.
static inline void qmCutToCycles(LoopChunk* c) {
    c->lLoopLength = c->lCycles * c->lCycleLength;
    qmSetBack(c, qmToUnsigned(c->dCurrPos), (int64_t)c->lLoopLength - 1);
}

// Where the three envelopes head, each stepping by +step (in) or -step (out).
// Play: the loop is heard and kept, and no more input goes into it.
static inline void qmPlayFades(QuillomatI* q, float step) {
    q->fLoopFadeDelta = -step;
    q->fPlayFadeDelta = step;
    q->fFeedFadeDelta = step;
}

// Mute: as play, but what is heard fades out.
static inline void qmMuteFades(QuillomatI* q, float step) {
    q->fLoopFadeDelta = -step;
    q->fPlayFadeDelta = -step;
    q->fFeedFadeDelta = step;
}

// Overdub: the input goes into the loop, which is kept and heard.
static inline void qmOverdubFades(QuillomatI* q, float step) {
    q->fLoopFadeDelta = step;
    q->fPlayFadeDelta = step;
    q->fFeedFadeDelta = step;
}

// pos brought into [0, len): 0 for an empty chunk or a position that is not
// finite.
static inline double qmWrap(double pos, uint32_t len) {
    if (pos >= 0.0 && pos < (double)len) return pos;
    if (len == 0 || !std::isfinite(pos)) return 0.0;
    pos = std::fmod(pos, (double)len);
    if (pos < 0.0) pos += (double)len;
    return pos < (double)len ? pos : 0.0;
}

// Integer position of pos in a chunk of len samples (fmod, truncated).
static inline uint32_t qmFold(double pos, uint32_t len) {
    if (pos >= 0.0 && pos < (double)len) return (uint32_t)pos;
    if (len == 0) return 0;
    return qmToUnsigned(std::fmod(pos, (double)len));
}

// Where the loop starts for the current direction.
static inline double qmLoopStartPos(const QuillomatI* q, const LoopChunk* c) {
    if (q->fCurrRate > 0.0f || c->lLoopLength == 0) return 0.0;
    return (double)c->lLoopLength - 1.0;
}

// Restart: the loop's start for the current direction.
static inline void qmRestart(QuillomatI* q, LoopChunk* c) { c->dCurrPos = qmLoopStartPos(q, c); }

// The states that write their input into a version begun for them.
static inline bool qmWritesLoop(int state) {
    return state == STATE_OVERDUB || state == STATE_REPLACE || state == STATE_SUBSTITUTE || state == STATE_MULTIPLY ||
           state == STATE_INSERT;
}

// The states that play the head's own cells: the play and overdub families.
static inline bool qmPlaysHead(int state) {
    switch (state) {
    case STATE_PLAY:
    case STATE_MUTE:
    case STATE_SCRATCH:
    case STATE_ONESHOT:
    case STATE_OVERDUB:
    case STATE_REPLACE:
    case STATE_SUBSTITUTE:
        return true;
    default:
        return false;
    }
}

// Another version comes to the front (undo, redo, a new recording): the
// crossfade of what was being written belonged to the one before, so none of
// it is written into this one. No input goes in and the content stays whole;
// what is heard (the play fade) goes on as it was.
static inline void qmCloseWrites(QuillomatI* q) {
    q->fLoopFadeAtten = 0.0f;
    q->fFeedFadeAtten = 1.0f;
}

static inline float qmFeedbackNow(const QuillomatI* q) {
    return Quillomat::dsp::clamp01(q->pfFeedback ? *q->pfFeedback : q->fFeedbackCurr);
}

static inline float qmQuantizeNow(const QuillomatI* q) {
    const float v = q->pfQuantMode ? *q->pfQuantMode : q->fQuantizeMode;
    return v == v ? v : 0.0f;
}

static inline float qmRoundNow(const QuillomatI* q) {
    const float v = q->pfRoundMode ? *q->pfRoundMode : q->fRoundMode;
    return v == v ? v : 0.0f;
}

// Whether the direction of play may change now. A chunk that relays its
// source must finish copying what follows an insert in the direction it
// started: backwards it would write over source cells it has yet to read.
static inline bool qmCanTurn(const LoopChunk* c) { return !(c && c->overSource == QM_RELAY && c->backfill); }

// Keeps what the status outputs report true: a wait only where a sync point
// can release it, a rounding end only in a running multiply or insert, and a
// next state only while something will enter it.
void qmSettlePending(QuillomatI* q);

// ---------------------------------------------------------------------------
// The end of a crossfade out of a take (quillomat_tail.cc)

// Undo all is taking the head away: the input it was still taking in fades
// out into it from its position on, as after a take ended by a command.
void qmFadeOutTaken(QuillomatI* q);
// RECORD has cut the multiply `c` at its position, now its end: what the
// multiply would have written next (the input and its source read on from
// there) fades out into the loop's start while the start fades in.
void qmFadeCutIntoStart(QuillomatI* q, LoopChunk* c);
// Writes the block's share of the fade under way, if any: before the walk,
// so that play hears the cells it writes.
void qmRunTail(QuillomatI* q, const QmBlock* b);
// A new version, or a fresh start, ends the fade: nothing may write into a
// version another is made from, or into memory that may be given away.
static inline void qmDropTail(QuillomatI* q) { q->tail.chunk = q->tail.source = nullptr; }
// What the state plays now fades out by itself from the level it is heard
// at, on top of any fade out still under way; given before a command changes
// what plays.
void qmFadeOutHeard(QuillomatI* q);
// Adds the block's share of the fades out to the output, after the walk.
void qmRunFadeOut(QuillomatI* q, const QmBlock* b);

// ---------------------------------------------------------------------------
// Chunk history (quillomat_history.cc)

LoopChunk* pushNewLoopChunk(QuillomatI* q, uint32_t initLength, LoopChunk* src);
// A new version (no chunk given) after the head, or room for `more` samples
// in the given one. Null when the memory cannot hold it, or when it would
// cover a chunk the version still reads from (its source and, while that
// still copies from older ones, theirs).
LoopChunk* ensureLoopSpace(QuillomatI* q, LoopChunk* loop, uint32_t more, LoopChunk* src);
bool invalidateTails(QuillomatI* q, uint32_t start, uint32_t length, LoopChunk* current);
void popHeadLoop(QuillomatI* q);
// Back to the version before; no loop after a recording or delay line with
// nothing before it. A change whose earlier version has been written over
// stays (false, counted as a refusal): undo never empties such a loop.
bool undoLoop(QuillomatI* q);
void redoLoop(QuillomatI* q);
void clearLoopChunks(QuillomatI* q);
void fillLoops(QuillomatI* q, LoopChunk* loop, uint32_t position);
// Copy-on-play of this chunk alone, at a position of its own; for a chunk
// whose sources are read at other positions (a multiply's).
void fillChunk(QuillomatI* q, LoopChunk* chunk, uint32_t position);

// How many samples a new version laid at `start` could take before it
// reached a chunk that `src` still needs (src itself, and its sources while
// it copies from them); at most the whole memory.
uint32_t qmRoomAt(const QuillomatI* q, uint32_t start, const LoopChunk* src);
// A new version over the head `s` when there is no room beside it, laid at
// `start` and claiming `claim` samples from there (older versions under them
// leave the history). `s` leaves the history too, since it is being written
// over, but stays readable as the new version's source.
LoopChunk* qmLayOver(QuillomatI* q, LoopChunk* s, uint32_t start, uint32_t claim, int how);

// ---------------------------------------------------------------------------
// Chunk operations (quillomat_chunks.cc)

LoopChunk* beginOverdub(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginReplace(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginSubstitute(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginMultiply(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginInsert(QuillomatI* q, LoopChunk* loop);
LoopChunk* endMultiply(QuillomatI* q, LoopChunk* loop, int nextState);
LoopChunk* endInsert(QuillomatI* q, LoopChunk* loop, int nextState);
LoopChunk* transitionToNext(QuillomatI* q, LoopChunk* loop, int nextState);

// The direction of play changes to the sign of `rate` (the one place it
// does). With a chunk in motion at `pos`, the position turns round at the
// sample just played (pos - the old rate) and copy-on-play no longer owes
// that sample; returns the position to play next. Without one, returns pos.
double qmTurn(QuillomatI* q, LoopChunk* loop, double pos, float rate);
// The same between blocks (a command): the current loop turns round if the
// state is one that plays it.
void qmReverseNow(QuillomatI* q, float rate);

// ---------------------------------------------------------------------------
// Run stages. runQuillomat = beginBlock, then processBlock.

// Reads the ports, prepares the block values and applies a new command.
// Returns false when the block must not be processed (unbound audio ports).
bool beginBlock(QuillomatI* q, QmBlock* b, unsigned long sampleCount);

// The sample walk over the whole block, then the output ports.
void processBlock(QuillomatI* q, QmBlock* b);
