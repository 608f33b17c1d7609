#pragma once
// The per-channel loop processor: plain records and functions behind a LADSPA
// descriptor. One instance records one channel into a circular power-of-two
// memory and plays it back under a command state machine.
//
// Everything below runs on the audio thread except instantiate, cleanup and
// the descriptor functions. Nothing in the run path allocates, locks or prints.

#include <ladspa.h>

#include <cmath>
#include <cstdint>

// ---------------------------------------------------------------------------
// Ports

enum QuillomatPort {
    QM_TRIG_THRESH = 0,
    QM_DRY,
    QM_WET,
    QM_FEEDBACK,
    QM_RATE,
    QM_SCRATCH_POS,
    QM_MULTICTRL,
    QM_TAP_TRIG,
    QM_USE_FEEDBACK_PLAY,
    QM_QUANT_MODE,
    QM_ROUND,
    QM_REDO_TAP,
    QM_SYNC_MODE,
    QM_USE_RATE,
    QM_FADE_SAMPLES,
    QM_TEMPO,
    QM_PLAYBACK_SYNC,
    QM_EIGHTH_PER_CYCLE,
    QM_USE_SAFETY_FEEDBACK,
    QM_STATE_OUT,
    QM_LOOP_LENGTH_OUT,
    QM_LOOP_POS_OUT,
    QM_CYCLE_LENGTH_OUT,
    QM_SECS_FREE_OUT,
    QM_SECS_TOTAL_OUT,
    QM_WAITING,
    QM_TRUE_RATE_OUT,
    QM_NEXT_STATE_OUT,
    QM_INPUT,
    QM_OUTPUT,
    QM_SYNC_INPUT,
    QM_SYNC_OUTPUT,
    QM_PORT_COUNT
};

enum {
    QM_UNIQUE_ID = 1601,
    QM_LOOP_CHUNK_COUNT = 512,
    QM_TAP_MIN_SAMPLES = 2204,
};

#define QM_DEFAULT_TOTAL_SECS 40.0f
#define QM_EMPTY_MARK 0x7fffffffu

// ---------------------------------------------------------------------------
// States (reported on "State Output" and "Next State Output")

enum {
    STATE_OFF = 0,
    STATE_REC_WAIT = 1,
    STATE_RECORD = 2,
    STATE_REC_ENDING = 3,
    STATE_PLAY = 4,
    STATE_OVERDUB = 5,
    STATE_MULTIPLY = 6,
    STATE_INSERT = 7,
    STATE_REPLACE = 8,
    STATE_DELAY = 9,
    STATE_MUTE = 10,
    STATE_SCRATCH = 11,
    STATE_ONESHOT = 12,
    STATE_SUBSTITUTE = 13,
    STATE_TRIGGER_PLAY = 16,
};

// Command numbers on "Multi Control" (same values as Event::command_t).
enum {
    QM_CMD_UNDO = 0,
    QM_CMD_REDO = 1,
    QM_CMD_REPLACE = 2,
    QM_CMD_REVERSE = 3,
    QM_CMD_SCRATCH = 4,
    QM_CMD_RECORD = 5,
    QM_CMD_OVERDUB = 6,
    QM_CMD_MULTIPLY = 7,
    QM_CMD_INSERT = 8,
    QM_CMD_MUTE = 9,
    QM_CMD_DELAY = 10,
    QM_CMD_REDO_TOG = 11,
    QM_CMD_QUANT_TOG = 12,
    QM_CMD_ROUND_TOG = 13,
    QM_CMD_ONESHOT = 14,
    QM_CMD_TRIGGER = 15,
    QM_CMD_SUBSTITUTE = 16,
    QM_CMD_UNDO_ALL = 17,
    QM_CMD_REDO_ALL = 18,
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
    struct _LoopChunk* srcloop;
    struct _LoopChunk* next;
    struct _LoopChunk* prev;
} LoopChunk;

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

    // The chunk the sample walk last moved through while copy-on-play may be
    // pending, and the step it moved by: when the direction has changed since,
    // the position turns round at the sample last played.
    LoopChunk* pMovedChunk;
    float fMovedRate;
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

    // Per-sample ramps: the value is stepped before each sample and lands on
    // the target on the block's last sample (see qmRamp).
    float fWet, wetDelta, wetTarget;
    float fDry, dryDelta, dryTarget;
    float fFeedback, feedbackDelta, feedbackTarget;
    float fScratchPos, scratchDelta, scratchTarget;

    float fRate;  // fCurrRate when the walk starts
    unsigned long lSampleIndex;
    LoopChunk* loop;
    LoopChunk* srcloop;
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

// One ramp step that never passes its target.
static inline float qmRamp(float value, float delta, float target) {
    value += delta;
    if ((delta > 0.0f && value > target) || (delta < 0.0f && value < target)) value = target;
    return value;
}

static inline float qmClamp01(float v) {
    return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : (v == v ? v : 0.0f));
}

// Fade step for the current block: +1/N or -1/N with N = "Fade samples" >= 1.
static inline unsigned int qmFadeSamples(const QuillomatI* q) {
    float n = q->pfXfadeSamples ? *q->pfXfadeSamples : 1.0f;
    return n >= 1.0f ? qmToUnsigned(n) : 1u;
}

static inline float* qmCell(const QuillomatI* q, const LoopChunk* c, uint32_t pos) {
    return &q->pSampleBuf[(c->lLoopStart + pos) & q->lBufferSizeMask];
}

// ---------------------------------------------------------------------------
// Descriptor and entry points

LADSPA_Descriptor* create_qm_descriptor();
void cleanup_qm_descriptor(LADSPA_Descriptor* descriptor);

LADSPA_Handle instantiateQuillomat(const LADSPA_Descriptor* descriptor, unsigned long sampleRate);
void connectPortToQuillomat(LADSPA_Handle instance, unsigned long port, LADSPA_Data* location);
void activateQuillomat(LADSPA_Handle instance);
void runQuillomat(LADSPA_Handle instance, unsigned long sampleCount);
void cleanupQuillomat(LADSPA_Handle instance);

void qm_init();
void qm_fini();
extern "C" const LADSPA_Descriptor* ladspa_descriptor(unsigned long index);

// ---------------------------------------------------------------------------
// Chunk history

LoopChunk* pushNewLoopChunk(QuillomatI* q, uint32_t initLength, LoopChunk* src);
LoopChunk* ensureLoopSpace(QuillomatI* q, LoopChunk* loop, uint32_t more, LoopChunk* src);
bool invalidateTails(QuillomatI* q, uint32_t start, uint32_t length, LoopChunk* current);
void popHeadLoop(QuillomatI* q);
void undoLoop(QuillomatI* q);
void redoLoop(QuillomatI* q);
void clearLoopChunks(QuillomatI* q);
void fillLoops(QuillomatI* q, LoopChunk* loop, uint32_t position);
// Copy-on-play of this chunk alone, at a position of its own; for a chunk
// whose sources are read at other positions (a multiply's).
void fillChunk(QuillomatI* q, LoopChunk* chunk, uint32_t position);
unsigned long qm_read_current_loop_audio(LADSPA_Handle instance, float* buf, unsigned long frames,
                                         unsigned long offset);

// ---------------------------------------------------------------------------
// Chunk operations

LoopChunk* beginOverdub(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginReplace(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginSubstitute(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginMultiply(QuillomatI* q, LoopChunk* loop);
LoopChunk* beginInsert(QuillomatI* q, LoopChunk* loop);
LoopChunk* endMultiply(QuillomatI* q, LoopChunk* loop, int nextState);
LoopChunk* endInsert(QuillomatI* q, LoopChunk* loop, int nextState);
LoopChunk* transitionToNext(QuillomatI* q, LoopChunk* loop, int nextState);

// ---------------------------------------------------------------------------
// Run stages. runQuillomat = beginBlock, then processBlock.

// Reads the ports, prepares the block values and applies a new command.
// Returns false when the block must not be processed (unbound audio ports).
bool beginBlock(QuillomatI* q, QmBlock* b, unsigned long sampleCount);

// The sample walk over the whole block, then the output ports.
void processBlock(QuillomatI* q, QmBlock* b);
