#pragma once
// Requests that may block (files, sessions, loop changes, gets, update
// registrations, MIDI bindings): made by the OSC side, handed to the engine
// with Engine::push_nonrt_event, executed and deleted by the engine thread.
// A request with an empty ret_url gets no answer.
#include <string>

#include "event.h"

namespace Quillomat {

class Engine;

class EventNonRT {
public:
    EventNonRT() {}
    virtual ~EventNonRT() {}
    virtual void dummy() {}
};

// Add or remove a loop.
class ConfigLoopEvent : public EventNonRT {
public:
    enum Type { Add = 0, Remove = 1 };

    ConfigLoopEvent(Type tp, int chans, float nsecs, int idx, int disc)
        : type(tp), channels(chans), secs(nsecs), index(idx), discrete(disc)
    {
    }
    // An add that made no loop gives its serial back.
    ~ConfigLoopEvent() override;

    Type type;
    int channels;
    float secs;    // seconds of loop memory
    int index;     // the loop to remove; -1 the last one (the engine writes back which)
    int discrete;  // nonzero: the loop has its own inputs and outputs
    // An add's serial, reserved by the engine that queued it (0: none).
    uint32_t serial = 0;
    Engine* reserved_by = nullptr;
};

// Load or save a session file.
class SessionEvent : public EventNonRT {
public:
    enum Type { Load = 0, Save = 1 };

    SessionEvent(Type tp, const std::string& fname, const std::string& retURL, const std::string& retPath)
        : type(tp), filename(fname), ret_url(retURL), ret_path(retPath)
    {
    }
    ~SessionEvent() override {}

    Type type;
    std::string filename;
    std::string ret_url;
    std::string ret_path;
};

// Load or save one loop's audio.
class LoopFileEvent : public EventNonRT {
public:
    enum Type { Load = 0, Save = 1 };
    enum FileFormat { FormatFloat = 0, FormatPCM16 = 1, FormatPCM24 = 2, FormatPCM32 = 3 };
    enum Endian { LittleEndian = 0, BigEndian = 1 };

    // The return address comes before the format here, unlike the fields.
    LoopFileEvent(Type tp, int inst, const std::string& fname, const std::string& retURL,
                  const std::string& retPath, FileFormat fmt = FormatFloat, Endian end = LittleEndian)
        : type(tp), instance(inst), filename(fname), format(fmt), endian(end), ret_url(retURL), ret_path(retPath)
    {
    }
    ~LoopFileEvent() override {}

    Type type;
    int instance;
    std::string filename;
    FileFormat format;
    Endian endian;
    std::string ret_url;
    std::string ret_path;
};

// One control value of a loop (or of the engine, instance -2).
class GetParamEvent : public EventNonRT {
public:
    GetParamEvent(int8_t inst, Event::control_t ctrl, const std::string& retURL, const std::string& retPath)
        : control(ctrl), instance(inst), ret_url(retURL), ret_path(retPath), ret_value(0.0f)
    {
    }
    ~GetParamEvent() override {}

    Event::control_t control;
    int8_t instance;
    std::string ret_url;
    std::string ret_path;
    float ret_value;  // filled in by the engine thread
};

// Subscribe to or unsubscribe from updates of a control, or tell the
// subscribers of a change.
class ConfigUpdateEvent : public EventNonRT {
public:
    enum Type {
        Register = 0,
        Unregister = 1,
        Send = 2,
        RegisterAuto = 3,    // polled every 100 ms, sent when changed
        UnregisterAuto = 4,
        RegisterCmd = 5,
        UnregisterCmd = 6,
        SendCmd = 7
    };

    ConfigUpdateEvent(Type tp, int8_t inst, Event::control_t ctrl, const std::string& retURL,
                      const std::string& retPath, float val = 0.0f, int src = -1)
        : type(tp), control(ctrl), command(Event::UNKNOWN), instance(inst), ret_url(retURL), ret_path(retPath),
          value(val), source(src)
    {
    }
    ConfigUpdateEvent(Type tp, int8_t inst, Event::command_t cmd, const std::string& retURL,
                      const std::string& retPath, int src = -1)
        : type(tp), control(Event::Unknown), command(cmd), instance(inst), ret_url(retURL), ret_path(retPath),
          value(0.0f), source(src)
    {
    }
    ~ConfigUpdateEvent() override {}

    Type type;
    Event::control_t control;
    Event::command_t command;
    int8_t instance;
    std::string ret_url;
    std::string ret_path;
    float value;
    int source;  // UDP port of the client whose change this is, -1 none: it is not told
};

// Who is there: answered with the server's URL, version and loop count.
class PingEvent : public EventNonRT {
public:
    PingEvent(const std::string& retURL, const std::string& retPath) : ret_url(retURL), ret_path(retPath) {}
    ~PingEvent() override {}

    std::string ret_url;
    std::string ret_path;
};

// Subscribe to or unsubscribe from announcements of loops added and removed.
class RegisterConfigEvent : public EventNonRT {
public:
    enum Type { Register = 0, Unregister = 1 };

    RegisterConfigEvent(Type tp, const std::string& retURL, const std::string& retPath)
        : type(tp), ret_url(retURL), ret_path(retPath)
    {
    }
    ~RegisterConfigEvent() override {}

    Type type;
    std::string ret_url;
    std::string ret_path;
};

// A global parameter by name.
class GlobalGetEvent : public EventNonRT {
public:
    GlobalGetEvent(const std::string& prm, const std::string& retURL, const std::string& retPath)
        : param(prm), ret_url(retURL), ret_path(retPath), ret_value(0.0f)
    {
    }
    ~GlobalGetEvent() override {}

    std::string param;
    std::string ret_url;
    std::string ret_path;
    float ret_value;  // 0 for a name that is no parameter
};

class GlobalSetEvent : public EventNonRT {
public:
    GlobalSetEvent(const std::string& prm, float val, int src = -1) : param(prm), value(val), source(src) {}
    ~GlobalSetEvent() override {}

    std::string param;
    float value;
    // The setting client's UDP port: the change is announced to everyone else,
    // once it has been accepted.
    int source;
};

// A MIDI-binding request; bind_str is a binding line, or a file name for
// Load and Save, or the learned or captured binding on the way back.
class MidiBindingEvent : public EventNonRT {
public:
    enum Type {
        GetAll = 0,
        Remove = 1,
        Add = 2,
        Clear = 3,
        Load = 4,
        Save = 5,
        Learn = 6,
        GetNextMidi = 7,
        CancelLearn = 8,
        CancelGetNext = 9
    };

    MidiBindingEvent() : type(GetAll) {}
    MidiBindingEvent(Type tp, const std::string& bstr, const std::string& opts, const std::string& retURL,
                     const std::string& retPath)
        : type(tp), bind_str(bstr), options(opts), ret_url(retURL), ret_path(retPath)
    {
    }
    MidiBindingEvent(const MidiBindingEvent&) = default;
    MidiBindingEvent& operator=(const MidiBindingEvent&) = default;
    ~MidiBindingEvent() override {}

    Type type;
    std::string bind_str;
    std::string options;
    std::string ret_url;
    std::string ret_path;
};

} // namespace Quillomat
