#pragma once
// Turns a MIDI byte stream, fed one byte at a time, into whole messages and
// announces each on typed signals, all on the thread that feeds it.

#include <kvo/sigcompat.h>
#include <midi++/types.h>

#include <ostream>
#include <string>
#include <vector>

namespace MIDI {

class Port;
class Parser;

typedef SigC::Signal1<void, Parser&> ZeroByteSignal;
typedef SigC::Signal2<void, Parser&, byte> OneByteSignal;
typedef SigC::Signal2<void, Parser&, EventTwoBytes*> TwoByteSignal;
typedef SigC::Signal2<void, Parser&, pitchbend_t> PitchBendSignal;
typedef SigC::Signal3<void, Parser&, byte*, unsigned long> Signal;

class Parser : public virtual SigC::Object {
  public:
    enum ParseState { NEEDSTATUS = 0, NEEDONEBYTE = 1, NEEDTWOBYTES = 2, VARIABLELENGTH = 3 };
    enum MTC_Status { MTC_Stopped = 0, MTC_Forward = 1, MTC_Backward = 2 };

    // A system-exclusive message longer than this is dropped instead of
    // being collected further: a broken sender must not exhaust memory.
    static const unsigned long max_sysex_size = 1 << 20;

    explicit Parser(Port& port);
    virtual ~Parser();

    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Emitted by the channel state, not by the parser itself.
    OneByteSignal bank_change;
    TwoByteSignal note_on;
    TwoByteSignal note_off;
    TwoByteSignal poly_pressure;
    OneByteSignal pressure;
    OneByteSignal program_change;
    PitchBendSignal pitchbend;
    TwoByteSignal controller;

    OneByteSignal channel_bank_change[16];
    TwoByteSignal channel_note_on[16];
    TwoByteSignal channel_note_off[16];
    TwoByteSignal channel_poly_pressure[16];
    OneByteSignal channel_pressure[16];
    OneByteSignal channel_program_change[16];
    PitchBendSignal channel_pitchbend[16];
    TwoByteSignal channel_controller[16];
    ZeroByteSignal channel_active_preparse[16];
    ZeroByteSignal channel_active_postparse[16];

    OneByteSignal mtc_quarter_frame;

    // Emitted by the ports around each block of received bytes.
    Signal raw_preparse;
    Signal raw_postparse;

    // Every announced message, real-time bytes included, but for tune
    // request, which has its own signal only.
    Signal any;
    Signal sysex;
    Signal mmc;
    Signal mtc;
    Signal position;
    Signal song;

    ZeroByteSignal all_notes_off;
    ZeroByteSignal tune;
    ZeroByteSignal timing;
    ZeroByteSignal start;
    ZeroByteSignal stop;
    ZeroByteSignal contineu;
    ZeroByteSignal active_sense;
    ZeroByteSignal reset;
    ZeroByteSignal eox;

    // Asked before a message is announced: real-time bytes and
    // system-exclusive messages pass for any result of 0 or more, completed
    // channel and system-common messages only for exactly 0.
    SigC::Signal2<int, byte*, unsigned long> edit;

    SigC::Signal1<void, MTC_Status> mtc_status;
    SigC::Signal0<bool> mtc_skipped;
    // Four bytes: frames, seconds, minutes, hours.
    SigC::Signal2<void, const byte*, bool> mtc_time;

    void scanner(byte b);

    const unsigned int* message_counts() const { return message_counter; }

    static const char* midi_event_type_name(eventType t);

    void trace(bool onoff, std::ostream* o, const std::string& prefix = "");
    bool tracing() const { return trace_stream != nullptr; }

    Port& port() { return _port; }

    void set_mmc_forwarding(bool yn) { _mmc_forward = yn; }
    void set_mtc_forwarding(bool yn) { _mtc_forward = yn; }

    MTC_FPS mtc_fps() const { return _mtc_fps; }
    MTC_Status mtc_running() const { return _mtc_running; }
    const byte* mtc_current() const { return _mtc_time; }
    bool mtc_locked() const { return _mtc_locked; }
    void reset_mtc_state();

    // Full-frame test and handling; true when msg was a full frame.
    bool possible_mtc(byte* msg, unsigned long len);
    // One quarter-frame message: status byte and data byte.
    void process_mtc_quarter_frame(byte* msg);

  private:
    Port& _port;
    std::ostream* trace_stream;
    std::string trace_prefix;
    SigC::Connection trace_connection;
    unsigned int message_counter[256];

    ParseState state;
    std::vector<byte> msgbuf;
    unsigned long msgindex;
    eventType msgtype;
    bool runnable;
    bool _mmc_forward;
    bool _mtc_forward;

    int expected_mtc_quarter_frame_code;
    byte _mtc_time[4];
    byte _qtr_mtc_time[4];
    unsigned long consecutive_qtr_frame_cnt;
    MTC_FPS _mtc_fps;
    MTC_Status _mtc_running;
    bool _mtc_locked;
    byte last_qtr_frame;

    void append(byte b);
    void channel_msg(byte status);
    void system_msg(byte status);
    void realtime_msg(byte b);
    void end_sysex();
    void complete();
    void signal(byte* msg, unsigned long len);
    void trace_event(Parser& p, byte* msg, unsigned long len);
};

} // namespace MIDI
