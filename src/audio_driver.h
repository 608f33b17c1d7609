#pragma once
// The boundary between the looping logic and whatever moves audio in and out:
// ports by name, per-block port buffers, transport, sample rate, block size.
#include <cstdint>
#include <string>

namespace Quillomat {

class Engine;

typedef uint32_t port_id_t;  // chosen by the driver; 0 means no port
typedef uint32_t nframes_t;

struct TransportInfo {
    enum State { ROLLING = 1, STOPPED = 2 };

    // Transport position at the start of the block, at the host's full
    // width: a host's grid holds past 2^32 frames.
    uint64_t framepos = 0;
    double bpm = 0.0;
    State state = STOPPED;
};

class AudioDriver {
public:
    AudioDriver(const std::string& client_name, const std::string& server_name)
        : _client_name(client_name), _server_name(server_name) {}
    virtual ~AudioDriver() {}

    AudioDriver(const AudioDriver&) = delete;
    AudioDriver& operator=(const AudioDriver&) = delete;

    // The engine passes an empty string; false fails the engine's start-up.
    virtual bool initialize(const std::string& config) = 0;
    virtual bool activate() = 0;
    virtual bool deactivate() = 0;

    // Find or create the port of that name; false when there is none.
    virtual bool create_input_port(const std::string& name, port_id_t& id) = 0;
    virtual bool create_output_port(const std::string& name, port_id_t& id) = 0;
    virtual bool destroy_input_port(port_id_t id) = 0;
    virtual bool destroy_output_port(port_id_t id) = 0;

    // Audio thread only, inside the block routine; must not block. The mono
    // buffer is valid until the block routine returns.
    virtual float* get_input_port_buffer(port_id_t id, nframes_t nframes) = 0;
    virtual float* get_output_port_buffer(port_id_t id, nframes_t nframes) = 0;

    virtual uint32_t get_input_port_count() = 0;
    virtual uint32_t get_output_port_count() = 0;

    virtual std::string get_name() const { return _client_name; }
    virtual void set_engine(Engine* engine) { _engine = engine; }
    virtual Engine* get_engine() const { return _engine; }

    // Audio thread. True, with the record filled, only for a driver that
    // follows a host transport; the record is left untouched otherwise.
    virtual bool get_transport_info(TransportInfo& info)
    {
        (void)info;
        return false;
    }

    // A driver that keeps these sets the fields before the engine starts.
    virtual nframes_t get_samplerate() { return _samplerate; }
    virtual nframes_t get_buffersize() { return _buffersize; }  // largest block

protected:
    std::string _client_name;
    std::string _server_name;
    Engine* _engine = nullptr;
    nframes_t _samplerate = 0;
    nframes_t _buffersize = 0;
};

} // namespace Quillomat
