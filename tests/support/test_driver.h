#pragma once
// An audio driver over plain memory: named ports with one block buffer each,
// settable sample rate, block size and host transport. Engine and looper tests
// drive their blocks through it by hand.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "audio_driver.h"

namespace qmtest {

class TestDriver : public Quillomat::AudioDriver {
public:
    using port_id_t = Quillomat::port_id_t;
    using nframes_t = Quillomat::nframes_t;

    explicit TestDriver(nframes_t samplerate = 48000, nframes_t buffersize = 256);
    ~TestDriver() override;

    bool initialize(const std::string& config) override;
    bool activate() override;
    bool deactivate() override;

    bool create_input_port(const std::string& name, port_id_t& id) override;
    bool create_output_port(const std::string& name, port_id_t& id) override;
    bool destroy_input_port(port_id_t id) override;
    bool destroy_output_port(port_id_t id) override;

    float* get_input_port_buffer(port_id_t id, nframes_t nframes) override;
    float* get_output_port_buffer(port_id_t id, nframes_t nframes) override;

    uint32_t get_input_port_count() override { return _max_ports; }
    uint32_t get_output_port_count() override { return _max_ports; }

    bool get_transport_info(Quillomat::TransportInfo& info) override;

    // --- test controls ---

    void set_samplerate(nframes_t rate) { _samplerate = rate; }
    // Resizes every port buffer (contents cleared).
    void set_buffersize(nframes_t frames);

    void set_initialize_result(bool ok) { _init_result = ok; }
    // With a transport set, get_transport_info reports it.
    void set_transport(const Quillomat::TransportInfo& info);
    void clear_transport() { _has_transport = false; }

    // Port creation of that name fails from now on.
    void refuse_port(const std::string& name) { _refused.insert(name); }
    // Creation fails once this many ports of one direction exist.
    void set_max_ports(uint32_t n) { _max_ports = n; }
    // get_*_port_buffer of this port returns null from now on.
    void hide_buffer(const std::string& name) { _hidden.insert(name); }

    // Buffers by port name; null when no such port exists.
    float* input(const std::string& name);
    float* output(const std::string& name);
    bool has_input(const std::string& name) const;
    bool has_output(const std::string& name) const;

    // Every creation request in order, as "in:NAME" or "out:NAME" (refused ones too).
    const std::vector<std::string>& requests() const { return _requests; }
    // Ports destroyed so far, by name.
    const std::vector<std::string>& destroyed() const { return _destroyed; }
    size_t live_ports() const { return _ports.size(); }

    // Zero every input and output buffer.
    void clear_buffers();

    bool active() const { return _active; }

private:
    struct Port {
        std::string name;
        bool is_input;
        std::vector<float> buf;
    };

    bool create_port(const std::string& name, bool is_input, port_id_t& id);
    bool destroy_port(port_id_t id, bool is_input);
    Port* find(const std::string& name, bool is_input);
    const Port* find(const std::string& name, bool is_input) const;
    size_t count(bool is_input) const;

    std::map<port_id_t, Port> _ports;
    port_id_t _next_id = 1;
    uint32_t _max_ports = 1024;
    bool _init_result = true;
    bool _active = false;
    bool _has_transport = false;
    Quillomat::TransportInfo _transport;
    std::set<std::string> _refused;
    std::set<std::string> _hidden;
    std::vector<std::string> _requests;
    std::vector<std::string> _destroyed;
};

} // namespace qmtest
