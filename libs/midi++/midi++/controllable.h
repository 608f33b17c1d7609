#pragma once
// Base of a parameter that can be driven from one kind of MIDI message on
// one channel of a port, learn that binding, and send its value back.

#include <kvo/sigcompat.h>
#include <midi++/types.h>

#include <string>

namespace MIDI {

class Parser;
class Port;

class Controllable : public virtual SigC::Object {
  public:
    Controllable(Port* port, bool bistate = false);
    virtual ~Controllable();

    // value runs from 0 to 1.
    virtual void set_value(float value) = 0;

    // A negative channel keeps the current one.
    void midi_rebind(Port* port, signed char channel = -1);

    void learn_about_external_control();
    void stop_learning();
    void drop_external_control();

    bool get_midi_feedback() const { return feedback; }
    void set_midi_feedback(bool val) { feedback = val; }
    void send_midi_feedback(float value);

    Port* get_port() const { return port; }
    std::string control_description() const { return _control_description; }

    // A channel outside 0..15 leaves the control unbound.
    void set_control_type(signed char channel, eventType kind, byte number);
    bool get_control_info(signed char& channel, eventType& kind, byte& number);

    SigC::Signal0<void> learning_started;
    SigC::Signal0<void> learning_stopped;

  private:
    bool bistate;
    SigC::Connection midi_sense_connection[2];
    SigC::Connection midi_learn_connection;
    unsigned int connections;
    Port* port;
    eventType control_type;
    byte control_additional;
    signed char control_channel;
    std::string _control_description;
    bool feedback;

    void bind_midi(signed char channel, eventType kind, byte number);
    void midi_sense_note(Parser&, EventTwoBytes*, bool is_on);
    void midi_sense_note_on(Parser& p, EventTwoBytes* tb) { midi_sense_note(p, tb, true); }
    void midi_sense_note_off(Parser& p, EventTwoBytes* tb) { midi_sense_note(p, tb, false); }
    void midi_sense_controller(Parser&, EventTwoBytes*);
    void midi_sense_program_change(Parser&, byte);
    void midi_sense_pitchbend(Parser&, pitchbend_t);
    void midi_receiver(Parser& p, byte* msg, unsigned long len);
};

} // namespace MIDI
