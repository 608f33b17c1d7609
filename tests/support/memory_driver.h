#pragma once
// An audio driver over plain memory for the benchmarks and fuzz targets: one
// zeroed block buffer per named port (a name asked for twice gets the same
// port), fixed rate and block size, no thread. The tests' own TestDriver
// does more (an audio thread, refusals, transport).
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "audio_driver.h"

namespace qmtest {

using Quillomat::nframes_t;
using Quillomat::port_id_t;

class MemoryDriver : public Quillomat::AudioDriver {
public:
    explicit MemoryDriver(nframes_t rate = 48000, nframes_t block = 256) : AudioDriver("memory", "")
    {
        _samplerate = rate;
        _buffersize = block;
    }
    bool initialize(const std::string&) override { return true; }
    bool activate() override { return true; }
    bool deactivate() override { return true; }
    bool create_input_port(const std::string& name, port_id_t& id) override { return create(name, id); }
    bool create_output_port(const std::string& name, port_id_t& id) override { return create(name, id); }
    bool destroy_input_port(port_id_t) override { return true; }
    bool destroy_output_port(port_id_t) override { return true; }
    float* get_input_port_buffer(port_id_t id, nframes_t) override { return buffer(id); }
    float* get_output_port_buffer(port_id_t id, nframes_t) override { return buffer(id); }
    uint32_t get_input_port_count() override { return 64; }
    uint32_t get_output_port_count() override { return 64; }

    float* buffer(port_id_t id) { return id && id <= _bufs.size() ? _bufs[id - 1].data() : nullptr; }
    float* named(const std::string& name)
    {
        auto it = _ids.find(name);
        return it == _ids.end() ? nullptr : buffer(it->second);
    }

    // Every input port a different tone.
    void fill_inputs()
    {
        for (auto& kv : _ids) {
            if (kv.first.find("_in_") == std::string::npos) continue;
            float* b = buffer(kv.second);
            for (nframes_t j = 0; j < _buffersize; ++j) b[j] = 0.2f * std::sin(0.01f * (float)(j * kv.second));
        }
    }

private:
    bool create(const std::string& name, port_id_t& id)
    {
        auto it = _ids.find(name);
        if (it == _ids.end()) {
            _bufs.emplace_back(_buffersize, 0.0f);
            it = _ids.emplace(name, (port_id_t)_bufs.size()).first;
        }
        id = it->second;
        return true;
    }
    std::map<std::string, port_id_t> _ids;
    std::vector<std::vector<float>> _bufs;
};

} // namespace qmtest
