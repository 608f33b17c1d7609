#pragma once
// The state of one MIDI channel of one port, following the traffic of the
// port's parsers in both directions, and the channel's own message output.

#include <kvo/sigcompat.h>
#include <midi++/types.h>

namespace MIDI {

class Parser;
class Port;

class Channel : public virtual SigC::Object {
  public:
    Channel(byte channel_number, Port& port);
    virtual ~Channel() {}

    Port& midi_port() { return port; }
    byte channel() const { return channel_number; }
    byte program() const { return program_number; }
    byte bank() const { return bank_number; }
    byte pressure() const { return chanpress; }
    // Out-of-range note or controller numbers read as 0 and write nothing.
    byte poly_pressure(byte note) const { return note < 128 ? polypress[note] : 0; }
    byte last_note_on() const { return _last_note_on; }
    byte last_on_velocity() const { return _last_on_velocity; }
    byte last_note_off() const { return _last_note_off; }
    byte last_off_velocity() const { return _last_off_velocity; }
    pitchbend_t pitchbend() const { return pitch_bend; }
    controller_value_t controller_value(byte n) const { return n < 128 ? controller_val[n] : 0; }
    controller_value_t* controller_addr(byte n) { return n < 128 ? &controller_val[n] : nullptr; }
    void set_controller(byte n, controller_value_t val) {
        if (n < 128) {
            controller_val[n] = val;
        }
    }
    bool controller_is_14bit(byte n) const { return n < 128 && controller_14bit[n]; }
    unsigned int notes_on() const { return _notes_on; }

    void connect_input_signals();
    void connect_output_signals();

    void reset(bool notes_off = true);

    // Sends one channel message of this channel; 0 when every byte went out.
    int channel_msg(byte type, byte data1, byte data2);
    int all_notes_off() { return channel_msg(MIDI::controller, 123, 0); }

  private:
    Port& port;
    byte channel_number;
    byte bank_number;
    byte program_number;
    byte rpn_msb;
    byte rpn_lsb;
    byte nrpn_msb;
    byte nrpn_lsb;
    byte chanpress;
    byte polypress[128];
    bool controller_14bit[128];
    controller_value_t controller_val[128];
    byte controller_msb[128];
    byte controller_lsb[128];
    byte _last_note_on;
    byte _last_on_velocity;
    byte _last_note_off;
    byte _last_off_velocity;
    pitchbend_t pitch_bend;
    bool _omni;
    bool _poly;
    bool _mono;
    unsigned int _notes_on;

    void connect_signals(Parser& p);
    void process_note_off(Parser&, EventTwoBytes*);
    void process_note_on(Parser&, EventTwoBytes*);
    void process_controller(Parser&, EventTwoBytes*);
    void process_polypress(Parser&, EventTwoBytes*);
    void process_program_change(Parser&, byte);
    void process_chanpress(Parser&, byte);
    void process_pitchbend(Parser&, pitchbend_t);
    void process_reset(Parser&);
};

extern const char* controller_names[128];
byte decode_controller_name(const char* name);

} // namespace MIDI
