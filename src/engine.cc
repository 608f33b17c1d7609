#include "engine.h"

#include <cstdio>
#include <iostream>

namespace Quillomat {

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
    for (float* b : _temp_input_buffers) {
        delete[] b;
    }
    _temp_input_buffers.clear();
    for (float* b : _temp_output_buffers) {
        delete[] b;
    }
    _temp_output_buffers.clear();
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
    if (chan >= _common_inputs.size()) {
        return false;
    }
    port = _common_inputs[chan];
    return true;
}

bool Engine::get_common_output(unsigned int chan, port_id_t& port)
{
    if (chan >= _common_outputs.size()) {
        return false;
    }
    port = _common_outputs[chan];
    return true;
}

float* Engine::get_common_input_buffer(unsigned int chan)
{
    if (chan >= _common_inputs.size()) {
        return nullptr;
    }
    // A refused port leaves the lists shorter than the buffers.
    if (_use_temp_input) {
        return chan < _temp_input_buffers.size() ? _temp_input_buffers[chan] : nullptr;
    }
    return chan < _common_input_buffers.size() ? _common_input_buffers[chan] : nullptr;
}

float* Engine::get_common_output_buffer(unsigned int chan)
{
    if (chan >= _common_outputs.size()) {
        return nullptr;
    }
    if (_use_temp_input) {
        return chan < _temp_output_buffers.size() ? _temp_output_buffers[chan] : nullptr;
    }
    return chan < _common_output_buffers.size() ? _common_output_buffers[chan] : nullptr;
}

} // namespace Quillomat
