#pragma once
// Live MIDI from a named pipe, read through the MIDI port library's FIFO port
// by a thread of its own. Each message is stamped when it arrives and reaches
// the plug-in before the next render call, at the offset in that call that
// matches when it arrived between the last two calls.
#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>

#include <kvo/ringbuffer.h>

#include "host.h"

namespace MIDI {
class Parser;
class Port;
} // namespace MIDI

namespace qmhost {

class PipeMidiSource : public MidiSource {
public:
    PipeMidiSource();
    ~PipeMidiSource() override;
    PipeMidiSource(const PipeMidiSource&) = delete;
    PipeMidiSource& operator=(const PipeMidiSource&) = delete;

    // Opens the pipe (it must exist: mkfifo makes one) and starts reading;
    // false with a one-line reason.
    bool open(const std::string& path, std::string& error);

    void deliver(AudioUnit unit, uint64_t start, uint32_t frames) override;

private:
    struct Stamped {
        double when;  // seconds on the monotonic clock
        unsigned char bytes[3];
    };

    static void* reader_entry(void* self);
    void reader();
    void on_message(MIDI::Parser& parser, unsigned char* msg, unsigned long len);
    void stop();

    std::unique_ptr<MIDI::Port> _port;
    RingBuffer<Stamped> _queue;
    int _wake[2] = {-1, -1};
    pthread_t _thread{};
    bool _running = false;
    std::atomic<bool> _done{false};
    double _last_deliver = -1.0;  // host thread only
};

} // namespace qmhost
