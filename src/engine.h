#pragma once
// The engine: owns the loopers, the common input and output buffers and the
// driver binding.
#include <string>
#include <vector>

#include <kvo/sigcompat.h>

#include "audio_driver.h"

namespace Quillomat {

class Engine : public SigC::Object {
public:
    Engine();
    virtual ~Engine();

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Binds the driver, sizes the buffers by its block size and registers the
    // common ports "common_in_%d"/"common_out_%d" (from 1).
    bool initialize(AudioDriver* driver, int channels, int port, std::string text);
    void cleanup();

    bool is_ok() const { return _ok; }
    AudioDriver* get_audio_driver() const { return _driver; }

    bool get_common_input(unsigned int chan, port_id_t& port);
    bool get_common_output(unsigned int chan, port_id_t& port);

    // The buffers the loopers read and mix into for the current block; null
    // past the port count.
    float* get_common_input_buffer(unsigned int chan);
    float* get_common_output_buffer(unsigned int chan);

    unsigned int get_common_input_count() const { return (unsigned int)_common_inputs.size(); }
    unsigned int get_common_output_count() const { return (unsigned int)_common_outputs.size(); }

private:
    void free_buffers();

    AudioDriver* _driver;
    volatile bool _ok;

    nframes_t _buffersize;
    float* _internal_sync_buf;

    std::vector<port_id_t> _common_inputs;
    std::vector<port_id_t> _common_outputs;
    std::vector<float*> _common_input_buffers;
    std::vector<float*> _common_output_buffers;
    std::vector<float*> _temp_input_buffers;
    std::vector<float*> _temp_output_buffers;
    bool _use_temp_input;

    float _falloff_per_sample;
};

} // namespace Quillomat
