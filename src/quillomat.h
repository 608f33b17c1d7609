#pragma once
// The per-channel loop processor behind a LADSPA descriptor: one instance
// records one channel into a circular memory and plays it back under a
// command state machine. This is what hosts and the Looper use; the records
// and the machinery behind them are in quillomat_internal.h.
//
// Instantiation, cleanup and the descriptor functions allocate and may block;
// everything else runs on the audio thread and allocates nothing.

#include <ladspa.h>

#include <cstddef>
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

enum { QM_UNIQUE_ID = 1601 };

// Seconds of loop memory when none (or nothing usable) is asked for.
#define QM_DEFAULT_TOTAL_SECS 40.0f

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
// Descriptor and entry points

LADSPA_Descriptor* create_qm_descriptor();
void cleanup_qm_descriptor(LADSPA_Descriptor* descriptor);

// Sizes the loop memory from "QM_SAMPLE_TIME" when a user sets it.
LADSPA_Handle instantiateQuillomat(const LADSPA_Descriptor* descriptor, unsigned long sampleRate);
// Sizes it from loopSecs and reads no environment, so it is safe to call from
// several threads at once. A value that is not a positive number gives
// QM_DEFAULT_TOTAL_SECS.
LADSPA_Handle instantiateQuillomatWithMemory(const LADSPA_Descriptor* descriptor, unsigned long sampleRate,
                                             float loopSecs);
// Samples of loop memory such an instance gets: a power of two; 0 for a
// sample rate it cannot run at.
uint32_t qm_memory_samples(unsigned long sampleRate, float loopSecs);
// Bytes of an instance's own record beside that memory (its history, and
// the fade out it keeps).
size_t qm_record_bytes(void);
void connectPortToQuillomat(LADSPA_Handle instance, unsigned long port, LADSPA_Data* location);
void activateQuillomat(LADSPA_Handle instance);
void runQuillomat(LADSPA_Handle instance, unsigned long sampleCount);
void cleanupQuillomat(LADSPA_Handle instance);

void qm_init();
void qm_fini();
extern "C" const LADSPA_Descriptor* ladspa_descriptor(unsigned long index);

// Copies up to `frames` samples of the current loop from `offset` on, in loop
// order; returns how many. Reads only, from any thread.
unsigned long qm_read_current_loop_audio(LADSPA_Handle instance, float* buf, unsigned long frames,
                                         unsigned long offset);

// Which version of its loop the instance plays now, for a reader that must
// not mix versions: an identity that changes with every new version, where
// it starts in the memory and its length (which may grow while recording).
// All 0 when there is no loop. Audio thread, or while the instance does not run.
void qm_current_loop_version(LADSPA_Handle instance, const void** version, uint32_t* start, uint32_t* length);

// How many times the instance has refused an operation for lack of memory
// (a multiply or insert that cannot grow, one that cannot be laid out at all,
// a recording or delay longer than the memory, an undo whose earlier version
// was written over). Counted on the audio thread
// during run; read it on that thread after a run. Wraps round after 2^32.
uint32_t qm_memory_refusals(LADSPA_Handle instance);

// Leaves the instance without a loop, as undo all does, at once (a loaded
// take of no frames). For a caller that runs the instance itself.
void qm_empty_loop(LADSPA_Handle instance);
