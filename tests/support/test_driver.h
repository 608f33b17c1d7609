#pragma once
// An audio driver over plain memory: named ports with one block buffer each,
// settable sample rate, block size and host transport. Engine and looper tests
// drive their blocks through it by hand, or let its audio thread call the
// engine's block routine at the pace of a host. Ports may be created and
// destroyed while that thread runs.
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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
    // From now on this port's buffer (of the current block size) starts
    // right after a page that nobody may read: a read before it faults.
    void fence_buffer(const std::string& name);

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

    // --- a host's render thread

    // Calls fill(k), then the engine's process with the block size, then
    // take(k), for blocks k = 0, 1, ...; paced at one block per block period
    // of wall-clock time, or as fast as it can. For the first `stamps` blocks
    // it keeps two wall-clock times (the clock the event stamps use) that
    // bracket the engine's own start of the block: just before process, and
    // when process first asks for a port buffer.
    void start_audio(std::function<void(uint64_t)> fill, std::function<void(uint64_t)> take, bool paced = true,
                     size_t stamps = 0);
    void stop_audio();
    uint64_t blocks_run() const { return _blocks.load(std::memory_order_acquire); }
    // Returns once n more blocks have run (false after ten seconds without).
    bool wait_blocks(uint64_t n);
    struct BlockStamp {
        double before = 0.0;
        double inside = 0.0;
    };
    // Valid after stop_audio.
    const std::vector<BlockStamp>& block_stamps() const { return _stamps; }

private:
    // A name asked for again gives the same port (two loops of one index
    // share their ports, as on a host's buses); it goes with its last holder.
    struct Port {
        std::string name;
        bool is_input;
        std::vector<float> buf;
        int holders;
    };

    bool create_port(const std::string& name, bool is_input, port_id_t& id);
    bool destroy_port(port_id_t id, bool is_input);
    float* port_buffer(port_id_t id, bool is_input);
    float* data(Port& p);  // under _lock
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
    std::map<std::string, std::pair<void*, size_t>> _fenced;  // name: mapping, length
    std::vector<std::string> _requests;
    std::vector<std::string> _destroyed;
    mutable std::mutex _lock;  // the port table, between the test and audio threads

    std::thread _audio;
    std::atomic<bool> _audio_run{false};
    std::atomic<uint64_t> _blocks{0};
    std::vector<BlockStamp> _stamps;
    BlockStamp* _stamp_due = nullptr;  // audio thread only
};

} // namespace qmtest
