#pragma once
// A silent audio driver over plain memory for the fuzz targets: every port
// gets one zeroed block buffer.
#include <map>
#include <string>
#include <vector>

#include "audio_driver.h"

class FuzzDriver : public Quillomat::AudioDriver {
public:
    FuzzDriver(Quillomat::nframes_t rate, Quillomat::nframes_t block) : AudioDriver("fuzz", "")
    {
        _samplerate = rate;
        _buffersize = block;
    }
    bool initialize(const std::string&) override { return true; }
    bool activate() override { return true; }
    bool deactivate() override { return true; }
    bool create_input_port(const std::string& name, Quillomat::port_id_t& id) override { return port(name, id); }
    bool create_output_port(const std::string& name, Quillomat::port_id_t& id) override { return port(name, id); }
    bool destroy_input_port(Quillomat::port_id_t) override { return true; }
    bool destroy_output_port(Quillomat::port_id_t) override { return true; }
    float* get_input_port_buffer(Quillomat::port_id_t id, Quillomat::nframes_t) override { return buf(id); }
    float* get_output_port_buffer(Quillomat::port_id_t id, Quillomat::nframes_t) override { return buf(id); }
    uint32_t get_input_port_count() override { return 1024; }
    uint32_t get_output_port_count() override { return 1024; }

private:
    bool port(const std::string& name, Quillomat::port_id_t& id)
    {
        auto it = _ids.find(name);
        if (it == _ids.end()) {
            it = _ids.emplace(name, (Quillomat::port_id_t)_bufs.size() + 1).first;
            _bufs.emplace_back(_buffersize, 0.0f);
        }
        id = it->second;
        return true;
    }
    float* buf(Quillomat::port_id_t id) { return id && id <= _bufs.size() ? _bufs[id - 1].data() : nullptr; }

    std::map<std::string, Quillomat::port_id_t> _ids;
    std::vector<std::vector<float>> _bufs;
};
