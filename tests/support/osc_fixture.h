#pragma once
// An engine as a host runs it: on the test driver, with its OSC server and an
// engine thread that enters the main loop every 10 ms; the driver's audio
// thread can be started as well. Clients talk to it over loopback.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "engine.h"
#include "midi_bridge.h"
#include "osc_client.h"
#include "test_driver.h"

namespace qmtest {

class EngineHost {
public:
    static const Quillomat::nframes_t kRate = 48000;

    // A base port from the process id, so that tests running side by side
    // rarely search the same twenty ports.
    static int base_port() { return 20000 + (int)(getpid() % 1400) * 20; }

    // A bridge is attached before the engine thread starts, as the plug-in
    // does; so is whatever before_thread does (connecting to the engine's
    // signals, say).
    explicit EngineHost(Quillomat::nframes_t block = 256, Quillomat::MidiBridge* bridge = nullptr,
                        int channels = 2, const std::function<void(Quillomat::Engine&)>& before_thread = {})
        : driver(kRate, block)
    {
        engine.set_midi_bridge(bridge);
        ok = engine.initialize(&driver, channels, base_port(), "");
        port = engine.get_osc_port();
        if (before_thread) before_thread(engine);
        thread = std::thread([this] {
            while (alive.load()) {
                engine.mainloop();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~EngineHost() { stop(); }

    // The engine thread first (as the host does at clean-up), then the audio.
    void stop()
    {
        if (thread.joinable()) {
            alive = false;
            engine.quit(true);
            thread.join();
        }
        driver.stop_audio();
    }

    TestDriver driver;
    Quillomat::Engine engine;
    bool ok = false;
    int port = 0;
    std::atomic<bool> alive{true};
    std::thread thread;
};

} // namespace qmtest
