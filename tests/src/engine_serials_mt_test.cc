// Commands for a loop on its way in, over real OSC: the OSC thread takes an
// add request and the commands that follow it for the new loop's place before
// the engine has added the loop, and blocks run meanwhile. The test thread is
// both the engine thread and the audio thread.
#include <gtest/gtest.h>
#include <lo/lo.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "engine.h"
#include "event_nonrt.h"
#include "osc_client.h"
#include "osc_fixture.h"
#include "test_driver.h"

using namespace Quillomat;
using qmtest::OscClient;

namespace {

// Adds path with a word and, when given, a value; "/loop_add" with one
// channel of value seconds.
void add(lo_bundle b, const char* path, const char* word, float value = NAN)
{
    lo_message m = lo_message_new();
    if (word) {
        lo_message_add_string(m, word);
    } else {
        lo_message_add_int32(m, 1);
    }
    if (!std::isnan(value)) lo_message_add_float(m, value);
    lo_bundle_add_message(b, path, m);
}

void add_loop(lo_bundle b, float secs = 1.0f) { add(b, "/loop_add", nullptr, secs); }

// The requests queued up to a ping sent after everything else: by then the
// OSC thread has taken every message before it.
void requests_through_ping(OscClient& c, Engine& e, std::vector<EventNonRT*>& out)
{
    EXPECT_TRUE(c.send("/ping", c.url(), "/pong"));
    for (int t = 0; t < 10000; ++t) {
        while (EventNonRT* r = e.pop_nonrt_event()) {
            out.push_back(r);
            if (dynamic_cast<PingEvent*>(r)) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "the ping never came";
}

// As one bundle, or its messages as datagrams back to back (a few dozen at a
// time, which the socket holds). The requests they made, in order.
std::vector<EventNonRT*> send(OscClient& c, Engine& e, lo_bundle b, bool bundle)
{
    std::vector<EventNonRT*> requests;
    size_t size = 0;
    const unsigned int count = bundle ? 1 : lo_bundle_count(b);
    for (unsigned int k = 0; k < count; ++k) {
        const char* path = nullptr;
        const lo_message m = bundle ? nullptr : lo_bundle_get_message(b, (int)k, &path);
        void* bytes = bundle ? lo_bundle_serialise(b, nullptr, &size) : lo_message_serialise(m, path, nullptr, &size);
        EXPECT_TRUE(bytes && c.send_raw(bytes, size));
        std::free(bytes);
        if (k % 50 == 49 || k + 1 == count) requests_through_ping(c, e, requests);
    }
    lo_bundle_free_recursive(b);
    return requests;
}

struct Case {
    const char* what;
    // With loop 0 there: an add for place 1 and what follows it.
    std::function<void(lo_bundle)> messages;
    Event::control_t control;
    float value;                 // what loop 1 holds once its commands are done
    const char* said = nullptr;  // on standard error
};

const Case kCases[] = {
    {"sets in the order they came",
     [](lo_bundle b) {
         add_loop(b);
         add(b, "/qm/1/set", "wet", 0.3f);
         add(b, "/qm/1/set", "wet", 0.6f);
     },
     Event::WetLevel, 0.6f},
    {"a record",
     [](lo_bundle b) {
         add_loop(b);
         add(b, "/qm/1/hit", "record");
     },
     Event::State, 2.0f},
    // Only so many wait: the first ones, in order.
    {"more than wait",
     [](lo_bundle b) {
         add_loop(b);
         for (int k = 1; k <= 300; ++k) add(b, "/qm/1/set", "wet", k / 1000.0f);
     },
     Event::WetLevel, (float)Engine::WaitingEvents / 1000.0f},
    // The loop that takes the place of an add that failed never gets what
    // was sent to that add's loop.
    {"after an add that failed",
     [](lo_bundle b) {
         add_loop(b, -1.0f);
         add(b, "/qm/1/set", "wet", 0.3f);
         add_loop(b);
     },
     Event::WetLevel, 1.0f, "cannot add a loop of -1 seconds"},
};

TEST(OscLoopOnItsWay, CommandsAfterAnAddReachTheNewLoopInOrder)
{
    for (const bool bundle : {false, true}) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(c.what) + (bundle ? ", in one bundle" : ", as datagrams"));
            qmtest::TestDriver driver(48000, 256);
            Engine engine;
            ASSERT_TRUE(engine.initialize(&driver, 2, qmtest::EngineHost::base_port(), ""));
            OscClient client(engine.get_osc_port());
            ASSERT_TRUE(client.ok());
            ASSERT_TRUE(engine.add_loop(1, 1.0f, true));
            engine.process(256);

            lo_bundle msgs = lo_bundle_new(LO_TT_IMMEDIATE);
            c.messages(msgs);
            const std::vector<EventNonRT*> requests = send(client, engine, msgs, bundle);
            {
                // The commands come to blocks before their loop does.
                qmtest::AllocationCounter allocations;
                for (int b = 0; b < 3; ++b) engine.process(256);
                EXPECT_EQ(allocations.count(), 0u);
            }
            testing::internal::CaptureStderr();
            for (EventNonRT* r : requests) {
                engine.process_nonrt_event(r);
                delete r;
            }
            const std::string said = testing::internal::GetCapturedStderr();
            {
                qmtest::AllocationCounter allocations;
                for (int b = 0; b < 3; ++b) engine.process(256);
                EXPECT_EQ(allocations.count(), 0u);
            }
            ASSERT_EQ(engine.loop_count(), 2u) << said;
            EXPECT_EQ(engine.get_control_value(c.control, 1), c.value);
            if (c.said) {
                EXPECT_NE(said.find(c.said), std::string::npos) << said;
            }
        }
    }
}

} // namespace
