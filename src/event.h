#pragma once
// The real-time event record and the generator that places wall-clock stamped
// events inside the current audio block.
#include <cstdint>

namespace Quillomat {

class EventGenerator;

// Copied by value (raw bytes) through the ring buffers: keep it a plain record.
class Event {
public:
    enum type_t {
        type_cmd_down = 0,
        type_cmd_up = 1,
        type_cmd_upforce = 2,
        type_cmd_hit = 3,
        type_control_change = 4,
        type_control_request = 5,
        type_global_control_change = 6,
        type_sync = 7
    };

    // 0..18 are the numbers the loop processor takes on its multi-control port.
    enum command_t {
        UNKNOWN = -1,
        UNDO = 0,
        REDO = 1,
        REPLACE = 2,
        REVERSE = 3,
        SCRATCH = 4,
        RECORD = 5,
        OVERDUB = 6,
        MULTIPLY = 7,
        INSERT = 8,
        MUTE = 9,
        DELAY = 10,
        REDO_TOG = 11,
        QUANT_TOG = 12,
        ROUND_TOG = 13,
        ONESHOT = 14,
        TRIGGER = 15,
        SUBSTITUTE = 16,
        UNDO_ALL = 17,
        REDO_ALL = 18,
        LAST_COMMAND = 19
    };

    // 0..27 equal the loop processor's control port numbers (0..18 inputs,
    // 19..27 outputs); the rest belong to the looper and the engine.
    enum control_t {
        Unknown = -1,
        TriggerThreshold = 0,
        DryLevel = 1,
        WetLevel = 2,
        Feedback = 3,
        Rate = 4,
        ScratchPosition = 5,
        MultiUnused = 6,
        TapDelayTrigger = 7,
        UseFeedbackPlay = 8,
        Quantize = 9,
        Round = 10,
        RedoTap = 11,
        SyncMode = 12,
        UseRate = 13,
        FadeSamples = 14,
        TempoInput = 15,
        PlaybackSync = 16,
        EighthPerCycleLoop = 17,
        UseSafetyFeedback = 18,
        State = 19,
        LoopLength = 20,
        LoopPosition = 21,
        CycleLength = 22,
        FreeTime = 23,
        TotalTime = 24,
        Waiting = 25,
        TrueRate = 26,
        NextState = 27,
        Tempo = 28,
        SyncTo = 29,
        EighthPerCycle = 30,
        TapTempo = 31,
        MidiStart = 32,
        MidiStop = 33,
        MidiTick = 34,
        SaveLoop = 35,
        UseCommonIns = 36,
        UseCommonOuts = 37,
        HasDiscreteIO = 38,
        ChannelCount = 39,
        InPeakMeter = 40,
        OutPeakMeter = 41,
        RelativeSync = 42,
        InputGain = 43,
        PanChannel1 = 44,
        PanChannel2 = 45,
        PanChannel3 = 46,
        PanChannel4 = 47
    };

    // Ring buffer slots; always overwritten by a whole event before use.
    Event() {}
    // Stamped now: the offset is worked out in the block that dispatches it.
    Event(EventGenerator* gen, double stamp)
        : pEventGenerator(gen), TimeStamp(stamp), iFragmentPos(-1) {}
    // Offset already known (host MIDI).
    Event(EventGenerator* gen, int fragpos)
        : pEventGenerator(gen), iFragmentPos(fragpos) {}

    // Sample offset inside the current block. Converts the stamp on first use;
    // call only after the block's updateFragmentTime.
    int FragmentPos();

    // Whether a loop event (instance -1 or an index) reaches the looper of
    // this serial.
    bool reaches(uint32_t serial) const
    {
        return Instance == -1 ? serial <= Serial : Instance >= 0 && serial == Serial;
    }

    // Every field has a harmless value, so a producer that fills only what it
    // needs never hands on garbage (source in particular steers echo filtering).
    type_t Type = type_cmd_down;
    command_t Command = UNKNOWN;
    control_t Control = Unknown;
    int8_t Instance = 0;
    // The loop an index named when the event arrived (the looper's serial;
    // 0: none), or for instance -1 the newest serial then: the event reaches
    // that loop, or those loops, if still there when it is taken.
    uint32_t Serial = 0;
    float Value = 0.0f;
    int32_t source = 0;
    EventGenerator* pEventGenerator = nullptr;
    double TimeStamp = 0.0;
    int32_t iFragmentPos = -1;
};

class EventGenerator {
public:
    explicit EventGenerator(unsigned int sample_rate);

    // Audio thread, once at the start of every block.
    void updateFragmentTime(unsigned int nframes);
    // Same, with the block's start time given (tests, replays).
    void updateFragmentTime(unsigned int nframes, double now);

    // Any thread. Negative fragpos stamps the event with the wall clock.
    Event createEvent(long fragpos = -1);

    // Wall-clock time of day in seconds, microsecond resolution.
    static double createTimeStamp();

    // Audio thread. Offset of a stamp relative to the start of the previous
    // block, scaled by the measured frames per second; may be negative or past
    // the block's end.
    int toFragmentPos(double stamp) const;

private:
    struct FragmentTime {
        double begin;
        double end;
        double sample_ratio;
    };

    uint32_t uiSampleRate;
    uint32_t uiSamplesProcessed;
    FragmentTime fragmentTime;
};

} // namespace Quillomat
