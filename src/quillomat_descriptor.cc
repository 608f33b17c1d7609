// The loop processor's descriptor, instance creation with its sample memory,
// port binding, activation and the standard library entry points.
#include "quillomat_internal.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct PortSpec {
    const char* name;  // null: the port has no name, kind or hint
    LADSPA_PortDescriptor kind;
    LADSPA_PortRangeHintDescriptor hint;
    LADSPA_Data lower;
    LADSPA_Data upper;
};

const PortSpec kPorts[QM_PORT_COUNT] = {
    {"Trigger Threshold", 5, 3, 0.0f, 1.0f},
    {"Dry Level (dB)", 5, 3, -90.0f, 0.0f},
    {"Wet Level (dB)", 5, 3, -90.0f, 0.0f},
    {"Feedback", 5, 3, 0.0f, 1.0f},
    {"Rate", 5, 3, -4.0f, 4.0f},
    {"Scratch Destination", 5, 3, 0.0f, 1.0f},
    {"Multi Control", 5, 0x23, 0.0f, 127.0f},
    {"Tap Delay Trigger", 5, 4, 0.0f, 0.0f},
    {"Use Feedback Play", 5, 4, 0.0f, 0.0f},
    {"Quantize Mode", 5, 0x23, 0.0f, 3.0f},
    {"Round Mode", 5, 4, 0.0f, 0.0f},
    {"Redo Tap Mode", 5, 4, 0.0f, 0.0f},
    {"Sync Mode", 5, 4, 0.0f, 0.0f},
    {"Use Rate Ctrl", 5, 4, 0.0f, 0.0f},
    {"Fade samples", 5, 0x23, 0.0f, 8192.0f},
    {"Tempo", 5, 0x23, 0.0f, 1000.0f},
    {"Playback Sync Mode", 5, 4, 0.0f, 0.0f},
    {nullptr, 0, 0, 0.0f, 0.0f},  // eighths per cycle
    {nullptr, 0, 0, 0.0f, 0.0f},  // use safety feedback
    {"State Output", 6, 1, 0.0f, 0.0f},
    {"Loop Length Out (s)", 6, 1, 0.0f, 0.0f},
    {"Loop Position Out (s)", 6, 1, 0.0f, 0.0f},
    {"Cycle Length Out (s)", 6, 1, 0.0f, 0.0f},
    {"Free Sample Mem (s)", 6, 1, 0.0f, 0.0f},
    {"Total Sample Mem (s)", 6, 1, 0.0f, 0.0f},
    {"Waiting", 6, 4, 0.0f, 0.0f},
    {"True Rate", 6, 3, -4.0f, 4.0f},
    {"Next State Output", 6, 1, 0.0f, 0.0f},
    {"Input", 9, 1, 0.0f, 0.0f},
    {"Output", 10, 1, 0.0f, 0.0f},
    {"Sync Input", 9, 0, 0.0f, 0.0f},
    {"Sync Output", 10, 0, 0.0f, 0.0f},
};

LADSPA_Descriptor* g_psDescriptor = nullptr;

// The largest memory we hand out: one more doubling would not fit the
// unsigned 32-bit positions.
const double kMaxBufferSize = 2147483648.0;

// Seconds of memory: anything that is not a positive finite number falls
// back to the default.
float usableSeconds(float secs) { return std::isfinite(secs) && secs > 0.0f ? secs : QM_DEFAULT_TOTAL_SECS; }

// Seconds of memory a user asked for through the environment.
float secondsFromEnvironment() {
    float secs = QM_DEFAULT_TOTAL_SECS;
    const char* env = getenv("QM_SAMPLE_TIME");
    if (env && sscanf(env, "%f", &secs) != 1) secs = QM_DEFAULT_TOTAL_SECS;
    return secs;
}

// Smallest power of two of samples holding secs at rate; 0 when that would
// not fit 32-bit positions.
uint32_t memoryLength(float rate, float secs) {
    const float samples = rate * secs;
    if (!std::isfinite(samples) || (double)samples > kMaxBufferSize) return 0;
    if (samples <= 1.0f) return 1;
    const double size = std::pow(2.0, std::ceil(std::log2((double)samples)));
    return size > kMaxBufferSize ? 0 : (uint32_t)size;
}

// Every page of the memory is written now, off the audio thread, so that no
// recording or copy ever faults one in there. Through a volatile pointer: a
// plain memset after the allocation may be folded into calloc, which leaves
// the pages untouched.
void touchPages(float* mem, uint32_t size) {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t step = page > (long)sizeof(float) ? (size_t)page / sizeof(float) : 1;
    volatile float* v = mem;
    for (size_t i = 0; i < size; i += step) v[i] = 0.0f;
    v[size - 1] = 0.0f;
}

}  // namespace

LADSPA_Descriptor* create_qm_descriptor() {
    LADSPA_Descriptor* d = (LADSPA_Descriptor*)calloc(1, sizeof(LADSPA_Descriptor));
    if (!d) return nullptr;
    LADSPA_PortDescriptor* kinds = (LADSPA_PortDescriptor*)calloc(QM_PORT_COUNT, sizeof(*kinds));
    char** names = (char**)calloc(QM_PORT_COUNT, sizeof(*names));
    LADSPA_PortRangeHint* hints = (LADSPA_PortRangeHint*)calloc(QM_PORT_COUNT, sizeof(*hints));
    d->PortCount = QM_PORT_COUNT;
    d->PortDescriptors = kinds;
    d->PortNames = names;
    d->PortRangeHints = hints;
    d->UniqueID = QM_UNIQUE_ID;
    d->Properties = LADSPA_PROPERTY_HARD_RT_CAPABLE;
    d->Label = strdup("Quillomat");
    d->Name = strdup("Quillomat");
    d->Maker = strdup("The Quillomat developers");
    d->Copyright = strdup("GPL");
    if (!kinds || !names || !hints || !d->Label || !d->Name || !d->Maker || !d->Copyright) {
        cleanup_qm_descriptor(d);
        return nullptr;
    }
    for (int p = 0; p < QM_PORT_COUNT; ++p) {
        const PortSpec& s = kPorts[p];
        kinds[p] = s.kind;
        hints[p].HintDescriptor = s.hint;
        hints[p].LowerBound = s.lower;
        hints[p].UpperBound = s.upper;
        if (s.name && !(names[p] = strdup(s.name))) {
            cleanup_qm_descriptor(d);
            return nullptr;
        }
    }
    d->ImplementationData = nullptr;
    d->instantiate = instantiateQuillomat;
    d->connect_port = connectPortToQuillomat;
    d->activate = activateQuillomat;
    d->run = runQuillomat;
    d->run_adding = nullptr;
    d->set_run_adding_gain = nullptr;
    d->deactivate = nullptr;
    d->cleanup = cleanupQuillomat;
    return d;
}

void cleanup_qm_descriptor(LADSPA_Descriptor* d) {
    if (!d) return;
    free((char*)d->Label);
    free((char*)d->Name);
    free((char*)d->Maker);
    free((char*)d->Copyright);
    free((LADSPA_PortDescriptor*)d->PortDescriptors);
    if (d->PortNames) {
        for (unsigned long p = 0; p < d->PortCount; ++p) free((char*)d->PortNames[p]);
        free((char**)d->PortNames);
    }
    free((LADSPA_PortRangeHint*)d->PortRangeHints);
    free(d);
}

LADSPA_Handle instantiateQuillomat(const LADSPA_Descriptor* descriptor, unsigned long sampleRate) {
    return instantiateQuillomatWithMemory(descriptor, sampleRate, secondsFromEnvironment());
}

LADSPA_Handle instantiateQuillomatWithMemory(const LADSPA_Descriptor*, unsigned long sampleRate, float loopSecs) {
    const float rate = (float)sampleRate;
    if (!(rate >= 1.0f)) {
        fprintf(stderr, "loop processor: cannot run at a sample rate of %lu\n", sampleRate);
        return nullptr;
    }
    const float secs = usableSeconds(loopSecs);
    const uint32_t size = qm_memory_samples(sampleRate, secs);
    if (size == 0) {
        fprintf(stderr, "loop processor: no loop memory fits a sample rate of %lu\n", sampleRate);
        return nullptr;
    }
    if (size != memoryLength(rate, secs)) {
        fprintf(stderr, "loop processor: %g seconds of loop memory is too much, using %g\n", secs,
                (double)QM_DEFAULT_TOTAL_SECS);
    }

    QuillomatI* q = (QuillomatI*)calloc(1, sizeof(QuillomatI));
    if (!q) return nullptr;
    q->fSampleRate = rate;
    q->lBufferSize = size;
    q->lBufferSizeMask = size - 1;
    q->fTotalSecs = (float)size / rate;
    q->pSampleBuf = (float*)calloc(size, sizeof(float));
    q->lLoopChunkCount = QM_LOOP_CHUNK_COUNT;
    q->pLoopChunks = (LoopChunk*)calloc(q->lLoopChunkCount, sizeof(LoopChunk));
    if (!q->pSampleBuf || !q->pLoopChunks) {
        free(q->pSampleBuf);
        free(q->pLoopChunks);
        free(q);
        return nullptr;
    }
    touchPages(q->pSampleBuf, size);
    q->lastLoopChunk = &q->pLoopChunks[q->lLoopChunkCount - 1];
    q->state = STATE_PLAY;
    q->nextState = -1;
    q->wasMuted = false;
    q->recSyncEnded = false;
    q->pfQuantMode = &q->fQuantizeMode;
    q->pfRoundMode = &q->fRoundMode;
    q->pfRedoTapMode = &q->fRedoTapMode;
    return q;
}

uint32_t qm_memory_samples(unsigned long sampleRate, float loopSecs) {
    const float rate = (float)sampleRate;
    if (!(rate >= 1.0f)) return 0;
    const uint32_t size = memoryLength(rate, usableSeconds(loopSecs));
    return size ? size : memoryLength(rate, QM_DEFAULT_TOTAL_SECS);
}

size_t qm_record_bytes(void) { return sizeof(QuillomatI); }

uint32_t qm_memory_refusals(LADSPA_Handle instance) {
    const QuillomatI* q = (const QuillomatI*)instance;
    return q ? q->lMemoryRefusals : 0;
}

void connectPortToQuillomat(LADSPA_Handle instance, unsigned long port, LADSPA_Data* location) {
    QuillomatI* q = (QuillomatI*)instance;
    if (!q) return;
    switch (port) {
    case QM_TRIG_THRESH: q->pfTrigThresh = location; break;
    case QM_DRY: q->pfDry = location; break;
    case QM_WET: q->pfWet = location; break;
    case QM_FEEDBACK: q->pfFeedback = location; break;
    case QM_RATE: q->pfRate = location; break;
    case QM_SCRATCH_POS: q->pfScratchPos = location; break;
    case QM_MULTICTRL: q->pfMultiCtrl = location; break;
    case QM_TAP_TRIG: q->pfTapCtrl = location; break;
    case QM_USE_FEEDBACK_PLAY: q->pfUseFeedbackPlay = location; break;
    // Unbinding these falls back to the instance's own cells, which always
    // hold a usable value.
    case QM_QUANT_MODE: q->pfQuantMode = location ? location : &q->fQuantizeMode; break;
    case QM_ROUND: q->pfRoundMode = location ? location : &q->fRoundMode; break;
    case QM_REDO_TAP: q->pfRedoTapMode = location ? location : &q->fRedoTapMode; break;
    case QM_SYNC_MODE: q->pfSyncMode = location; break;
    case QM_USE_RATE: q->pfRateCtrlActive = location; break;
    case QM_FADE_SAMPLES: q->pfXfadeSamples = location; break;
    case QM_TEMPO: q->pfTempo = location; break;
    case QM_PLAYBACK_SYNC: q->pfPlaybackSyncMode = location; break;
    case QM_EIGHTH_PER_CYCLE: q->pfEighthPerCycle = location; break;
    case QM_USE_SAFETY_FEEDBACK: q->pfUseSafetyFeedback = location; break;
    case QM_STATE_OUT: q->pfStateOut = location; break;
    case QM_LOOP_LENGTH_OUT: q->pfLoopLength = location; break;
    case QM_LOOP_POS_OUT: q->pfLoopPos = location; break;
    case QM_CYCLE_LENGTH_OUT: q->pfCycleLength = location; break;
    case QM_SECS_FREE_OUT: q->pfSecsFree = location; break;
    case QM_SECS_TOTAL_OUT: q->pfSecsTotal = location; break;
    case QM_WAITING: q->pfWaiting = location; break;
    case QM_TRUE_RATE_OUT: q->pfRateOutput = location; break;
    case QM_NEXT_STATE_OUT: q->pfNextStateOut = location; break;
    case QM_INPUT: q->pfInput = location; break;
    case QM_OUTPUT: q->pfOutput = location; break;
    case QM_SYNC_INPUT: q->pfSyncInput = location; break;
    case QM_SYNC_OUTPUT: q->pfSyncOutput = location; break;
    default: break;
    }
}

void activateQuillomat(LADSPA_Handle instance) {
    QuillomatI* q = (QuillomatI*)instance;
    if (!q) return;
    q->lLastMultiCtrl = -1;
    q->lScratchSamples = 0;
    q->lTapTrigSamples = 0;
    q->bPreTap = 1;
    q->fLastScratchVal = 0.0f;
    q->fLastTapCtrl = -1.0f;
    q->fCurrRate = 1.0f;
    q->fNextCurrRate = 0.0f;
    q->fCurrScratchRate = 0.0f;

    q->fQuantizeMode = 0.0f;
    q->fRoundMode = 0.0f;
    q->bHoldMode = 0;
    q->fRedoTapMode = 1.0f;

    q->bRateCtrlActive = qmToInt(q->pfRateCtrlActive ? *q->pfRateCtrlActive : 0.0f);
    q->waitingForSync = 0;
    q->donePlaySync = false;
    q->rounding = false;

    q->fWetCurr = q->pfWet ? *q->pfWet : 0.0f;
    q->fDryCurr = q->pfDry ? *q->pfDry : 0.0f;
    q->fFeedbackCurr = q->pfFeedback ? *q->pfFeedback : 0.0f;
    q->fScratchPosCurr = q->pfScratchPos ? *q->pfScratchPos : 0.0f;

    q->fLoopFadeAtten = 0.0f;
    q->fLoopFadeDelta = 0.0f;
    q->fPlayFadeAtten = 0.0f;
    q->fPlayFadeDelta = 0.0f;
    q->fFeedFadeAtten = 1.0f;
    q->fFeedFadeDelta = 0.0f;

    q->state = STATE_PLAY;
    q->nextState = -1;
    q->wasMuted = false;
    q->recSyncEnded = false;
    q->lSamplesSinceSync = 0;
    qmDropTail(q);
    q->fadeOut.first = q->fadeOut.left = 0;
    clearLoopChunks(q);
    if (q->pfSecsTotal) *q->pfSecsTotal = q->fTotalSecs;
    // Reported before the first run too, so a loop file can be loaded into a
    // loop that has not played yet.
    if (q->pfSecsFree) *q->pfSecsFree = q->fTotalSecs;
}

void cleanupQuillomat(LADSPA_Handle instance) {
    QuillomatI* q = (QuillomatI*)instance;
    if (!q) return;
    free(q->pLoopChunks);
    free(q->pSampleBuf);
    free(q);
}

void qm_init() {
    if (!g_psDescriptor) g_psDescriptor = create_qm_descriptor();
}

void qm_fini() {
    cleanup_qm_descriptor(g_psDescriptor);
    g_psDescriptor = nullptr;
}

extern "C" const LADSPA_Descriptor* ladspa_descriptor(unsigned long index) {
    return index == 0 ? g_psDescriptor : nullptr;
}
