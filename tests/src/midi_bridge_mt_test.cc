// The host's MIDI thread feeding the bridge while an engine thread replaces
// the bindings and starts and cancels learns, with and without the bindings
// lock held, as the engine and the plug-in's saved state do.
#include "midi_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

using Quillomat::Event;
using Quillomat::MidiBindInfo;
using Quillomat::MidiBridge;

namespace {

struct Sink : public SigC::Object {
    std::atomic<int> controls{0}, bad{0}, learned{0};
    void control(Event::type_t, Event::control_t c, float v, int8_t i, long)
    {
        ++controls;
        if (c != Event::WetLevel || v != 1.0f || i != -1) ++bad;
    }
    void learn(MidiBindInfo b)
    {
        ++learned;
        if (b.serialize() != "0 cc 7  set dry 1  0 1  ") ++bad;
    }
};

} // namespace

TEST(MidiBridgeThreads, EditsAndLearnsBesideIncomingMidi)
{
    MidiBridge bridge("AUmidi");
    Sink sink;
    bridge.MidiControlEvent.connect(SigC::slot(sink, &Sink::control));
    bridge.BindingLearned.connect(SigC::slot(sink, &Sink::learn));
    MidiBindInfo req;
    ASSERT_TRUE(req.unserialize("0 n 0  set dry 1  0 1  "));

    std::atomic<bool> done{false};
    std::thread midi([&] {
        while (!done.load()) {
            bridge.inject_midi(0xB0, 7, 127, 0);
        }
    });
    for (int i = 0; i < 4000; ++i) {
        {
            Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
            std::istringstream text("0 cc 7  set wet -1  0 1  \n0 cc 8  set wet -1  0 1  \n");
            bridge.bindings().load_bindings(text, false);
            if (i % 3 == 0) bridge.start_learn(req);
        }
        if (i % 3 != 0) bridge.start_learn(req);
        if (i % 5 == 0) bridge.cancel_learn();
        std::this_thread::yield();
    }
    done.store(true);
    midi.join();
    EXPECT_EQ(sink.bad.load(), 0);
    EXPECT_GT(sink.controls.load() + sink.learned.load(), 0);
}
