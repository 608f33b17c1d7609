#pragma once
// Requests that may block (files, sessions, loop changes, gets): queued by the
// OSC side, executed and deleted by the engine thread.
#include <string>

namespace Quillomat {

class EventNonRT {
public:
    EventNonRT() {}
    virtual ~EventNonRT() {}
    virtual void dummy() {}
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

} // namespace Quillomat
