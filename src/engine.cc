#include "engine.h"

#include <cstdio>
#include <iostream>

namespace Quillomat {

namespace {

bool port_at(const std::vector<port_id_t>& ports, unsigned int chan, port_id_t& port)
{
    if (chan >= ports.size()) {
        return false;
    }
    port = ports[chan];
    return true;
}

// A refused port leaves the port list shorter than the buffer lists, so the
// buffer index is checked against both.
float* buffer_at(const std::vector<float*>& buffers, size_t port_count, unsigned int chan)
{
    return chan < port_count && chan < buffers.size() ? buffers[chan] : nullptr;
}

void delete_buffers(std::vector<float*>& buffers)
{
    for (float* b : buffers) {
        delete[] b;
    }
    buffers.clear();
}

} // namespace

Engine::Engine()
    : _driver(nullptr),
      _ok(false),
      _buffersize(0),
      _internal_sync_buf(nullptr),
      _use_temp_input(true),
      _falloff_per_sample(0.0f)
{
}

Engine::~Engine()
{
    if (_driver) {
        cleanup();
    }
    free_buffers();
}

bool Engine::initialize(AudioDriver* driver, int channels, int port, std::string text)
{
    (void)port;
    (void)text;

    _driver = driver;
    if (!_driver) {
        std::cerr << "cannot connect to audio driver" << std::endl;
        return false;
    }
    _driver->set_engine(this);
    if (!_driver->initialize("")) {
        std::cerr << "cannot connect to audio driver" << std::endl;
        return false;
    }

    _buffersize = _driver->get_buffersize();

    _common_inputs.clear();
    _common_outputs.clear();
    _common_input_buffers.clear();
    _common_output_buffers.clear();
    free_buffers();

    char name[100];
    for (int i = 0; i < channels; ++i) {
        port_id_t id = 0;
        snprintf(name, sizeof(name), "common_in_%d", i + 1);
        if (_driver->create_input_port(name, id)) {
            _common_inputs.push_back(id);
        }
        _temp_input_buffers.push_back(new float[_driver->get_buffersize()]());
        _common_input_buffers.push_back(nullptr);

        snprintf(name, sizeof(name), "common_out_%d", i + 1);
        if (_driver->create_output_port(name, id)) {
            _common_outputs.push_back(id);
        }
        _temp_output_buffers.push_back(new float[_driver->get_buffersize()]());
        _common_output_buffers.push_back(nullptr);
    }

    _internal_sync_buf = new float[_driver->get_buffersize()]();

    nframes_t rate = _driver->get_samplerate();
    _falloff_per_sample = rate ? 30.0f / (float)rate : 0.0f;

    _ok = true;
    return true;
}

void Engine::free_buffers()
{
    delete_buffers(_temp_input_buffers);
    delete_buffers(_temp_output_buffers);
    delete[] _internal_sync_buf;
    _internal_sync_buf = nullptr;
}

void Engine::cleanup()
{
    free_buffers();
    _driver = nullptr;
    _ok = false;
}

bool Engine::get_common_input(unsigned int chan, port_id_t& port)
{
    return port_at(_common_inputs, chan, port);
}

bool Engine::get_common_output(unsigned int chan, port_id_t& port)
{
    return port_at(_common_outputs, chan, port);
}

float* Engine::get_common_input_buffer(unsigned int chan)
{
    return buffer_at(_use_temp_input ? _temp_input_buffers : _common_input_buffers, _common_inputs.size(), chan);
}

float* Engine::get_common_output_buffer(unsigned int chan)
{
    return buffer_at(_use_temp_input ? _temp_output_buffers : _common_output_buffers, _common_outputs.size(), chan);
}

} // namespace Quillomat
