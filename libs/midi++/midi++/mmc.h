#pragma once
// Decodes MIDI Machine Control commands arriving on a port's input and
// announces each on its own signal. Nothing is ever sent.

#include <kvo/sigcompat.h>
#include <midi++/types.h>

#include <map>
#include <string>

namespace MIDI {

class Parser;
class Port;

class MachineControl : public virtual SigC::Object {
  public:
    typedef byte CommandSignature[60];
    typedef byte ResponseSignature[60];
    typedef SigC::Signal1<void, MachineControl&> MMCSignal;

    static const int ntracks = 48;

    // The version and both signatures are accepted for compatibility and
    // not used.
    MachineControl(Port& port, float version, CommandSignature& cmds, ResponseSignature& responses);
    virtual ~MachineControl() {}

    Port& port() { return *_port; }
    void set_device_id(byte id) { _device_id = id & 0x7F; }
    byte device_id() const { return _device_id; }

    // msg is a whole system-exclusive message, 0xF0 included.
    static bool is_mmc(byte* msg, unsigned long len);

    // msg starts after the 0xF0 (0x7F, device, 0x06 or 0x07, commands); a
    // closing 0xF7 may be missing when the message was cut short.
    void process_mmc_message(Parser& p, byte* msg, unsigned long len);

    bool track_record_status(int track) const {
        return track >= 0 && track < ntracks && trackRecordStatus[track];
    }

    static std::map<int, std::string> mmc_cmd_map;
    static void build_mmc_cmd_map();

    MMCSignal Stop;
    MMCSignal Play;
    MMCSignal DeferredPlay;
    MMCSignal FastForward;
    MMCSignal Rewind;
    MMCSignal RecordStrobe;
    MMCSignal RecordExit;
    MMCSignal RecordPause;
    MMCSignal Pause;
    MMCSignal Eject;
    MMCSignal Chase;
    MMCSignal CommandErrorReset;
    MMCSignal MmcReset;
    MMCSignal JogStart;
    MMCSignal JogStop;
    MMCSignal Write;
    MMCSignal MaskedWrite;
    MMCSignal Read;
    MMCSignal Update;
    MMCSignal VariablePlay;
    MMCSignal Search;
    MMCSignal AssignSystemMaster;
    MMCSignal GeneratorCommand;
    MMCSignal MidiTimeCodeCommand;
    MMCSignal Move;
    MMCSignal Add;
    MMCSignal Subtract;
    MMCSignal DropFrameAdjust;
    MMCSignal Procedure;
    MMCSignal Event;
    MMCSignal Group;
    MMCSignal CommandSegment;
    MMCSignal DeferredVariablePlay;
    MMCSignal RecordStrobeVariable;
    MMCSignal Wait;
    MMCSignal Resume;

    SigC::Signal3<void, MachineControl&, float, bool> Shuttle;
    SigC::Signal3<void, MachineControl&, unsigned long, bool> TrackRecordStatusChange;
    // The five bytes of an MMC standard time as they stand in the message.
    SigC::Signal2<void, MachineControl&, const byte*> Locate;
    SigC::Signal2<void, MachineControl&, int> Step;

  private:
    bool trackRecordStatus[ntracks];
    bool trackRecordReady[ntracks];
    byte _device_id;
    Port* _port;

    // Each takes the command's data after its count byte and the count.
    void do_masked_write(const byte* data, unsigned long n);
    void do_locate(const byte* data, unsigned long n);
    void do_step(const byte* data, unsigned long n);
    void do_shuttle(const byte* data, unsigned long n);
    void write_track_record_ready(const byte* data);
};

} // namespace MIDI
