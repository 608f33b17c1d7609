// "/ping" round trips over loopback, from the client's send to the answer in
// its hands: against a running engine (engine thread in its main loop, an
// audio thread running 256-frame blocks at 48 kHz with two loops), and as
// the baseline against a bare liblo server that answers on its own thread.
// Counters: median and 99th percentile in microseconds, and the engine's
// ratios to the baseline measured in the same run. Beside them, the ping sent
// right after a session load of 8 or 40 loops of 10 seconds, against the
// engine's plain ping (loops of 1 and 2 channels).
//
// Then one message handed to the server's dispatch, without arguments so
// that no method takes it: the time to find its methods for patterns, short
// and 64 KB long, as a ratio to a plain path's (vs_exact) in the same run.
#include <benchmark/benchmark.h>
#include <lo/lo.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "control_osc.h"
#include "engine.h"
#include "memory_driver.h"

namespace {

using Quillomat::nframes_t;
typedef std::chrono::steady_clock Clock;

const nframes_t kBlock = 256;
const nframes_t kRate = 48000;


void quiet(int, const char*, const char*) {}

// The client: its own server for the answers, sending from its port.
struct Client {
    lo_server server = lo_server_new(nullptr, quiet);
    lo_address target;
    std::string url;
    bool answered = false;

    explicit Client(int port) : target(lo_address_new("127.0.0.1", std::to_string(port).c_str()))
    {
        url = "osc.udp://127.0.0.1:" + std::to_string(lo_server_get_port(server)) + "/";
        lo_server_add_method(server, "/pong", nullptr, &Client::on_pong, this);
    }
    ~Client()
    {
        lo_address_free(target);
        lo_server_free(server);
    }
    static int on_pong(const char*, const char*, lo_arg**, int, lo_message, void* self)
    {
        static_cast<Client*>(self)->answered = true;
        return 0;
    }
    void load_session(const std::string& file)
    {
        lo_message m = lo_message_new();
        lo_message_add_string(m, file.c_str());
        lo_message_add_string(m, url.c_str());
        lo_message_add_string(m, "/error");
        lo_send_message_from(target, server, "/load_session", m);
        lo_message_free(m);
    }
    // Seconds from send to answer; negative when none came within a second.
    double ping()
    {
        answered = false;
        lo_message m = lo_message_new();
        lo_message_add_string(m, url.c_str());
        lo_message_add_string(m, "/pong");
        const Clock::time_point t0 = Clock::now();
        lo_send_message_from(target, server, "/ping", m);
        lo_message_free(m);
        while (!answered) {
            if (lo_server_recv_noblock(server, 1000) <= 0) return -1.0;
        }
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }
};

// A bare liblo server that answers "/ping" on its own thread.
struct Echo {
    lo_server server = nullptr;
    std::thread thread;
    std::atomic<bool> done{false};

    Echo()
    {
        for (int p = 41000; !server && p < 41100; ++p) server = lo_server_new(std::to_string(p).c_str(), quiet);
        lo_server_add_method(server, "/ping", "ss", &Echo::on_ping, this);
        thread = std::thread([this] {
            while (!done) lo_server_recv_noblock(server, 20);
        });
    }
    ~Echo()
    {
        done = true;
        thread.join();
        lo_server_free(server);
    }
    static int on_ping(const char*, const char*, lo_arg** argv, int, lo_message, void* self)
    {
        Echo* e = static_cast<Echo*>(self);
        lo_address to = lo_address_new_from_url(reinterpret_cast<const char*>(argv[0]));
        lo_message m = lo_message_new();
        lo_message_add_string(m, "osc.udp://127.0.0.1/");
        lo_message_add_string(m, "0");
        lo_message_add_int32(m, 0);
        lo_send_message_from(to, e->server, reinterpret_cast<const char*>(argv[1]), m);
        lo_message_free(m);
        lo_address_free(to);
        return 0;
    }
};

// An engine as a host runs it.
struct Host {
    qmtest::MemoryDriver driver;
    Quillomat::Engine engine;
    std::atomic<bool> alive{true};
    std::thread engine_thread, audio_thread;

    Host()
    {
        engine.initialize(&driver, 2, 10051, "");
        engine.add_loop(2, 10.0f, true);
        engine.add_loop(2, 10.0f, true);
        engine_thread = std::thread([this] {
            while (alive) {
                engine.mainloop();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        audio_thread = std::thread([this] {
            const auto period = std::chrono::microseconds(1000000 * kBlock / kRate);
            Clock::time_point next = Clock::now();
            while (alive) {
                engine.process(kBlock);
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~Host()
    {
        alive = false;
        engine.quit(true);
        engine_thread.join();
        audio_thread.join();
    }
};

std::map<std::string, double> g_baseline;  // counter name -> baseline value

void report(benchmark::State& state, std::vector<double>& rtt, const char* name, bool baseline)
{
    if (rtt.empty()) {
        state.SkipWithError("no answers");
        return;
    }
    std::sort(rtt.begin(), rtt.end());
    const double p50 = rtt[rtt.size() / 2] * 1e6;
    const double p99 = rtt[std::min(rtt.size() - 1, rtt.size() * 99 / 100)] * 1e6;
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    if (std::string(name) == "engine main loop answer") {
        g_baseline["engine_p50"] = p50;
    } else if (g_baseline.count("engine_p50")) {
        state.counters["p50_vs_engine_ping"] = p50 / g_baseline["engine_p50"];
    }
    if (baseline) {
        g_baseline["p50"] = p50;
        g_baseline["p99"] = p99;
    } else if (g_baseline.count("p50")) {
        state.counters["p50_vs_liblo"] = p50 / g_baseline["p50"];
        state.counters["p99_vs_liblo"] = p99 / g_baseline["p99"];
    }
    state.SetLabel(name);
}

void run(benchmark::State& state, Client& client, const char* name, bool baseline,
         const std::string& session = "")
{
    for (int k = 0; k < 50; ++k) client.ping();  // warm the route and the caches
    std::vector<double> rtt;
    rtt.reserve(20000);
    for (auto _ : state) {
        if (!session.empty()) {
            // Time for the loops of the last load to go, as between a user's loads.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            client.load_session(session);
        }
        const double t = client.ping();
        if (t < 0) {
            state.SkipWithError("a ping went unanswered");
            return;
        }
        state.SetIterationTime(t);
        rtt.push_back(t);
    }
    report(state, rtt, name, baseline);
}

void BM_PingBareLiblo(benchmark::State& state)
{
    Echo echo;
    Client client(lo_server_get_port(echo.server));
    run(state, client, "bare liblo answer (baseline)", true);
}

void BM_PingEngine(benchmark::State& state)
{
    Host host;
    Client client(host.engine.get_osc_port());
    run(state, client, "engine main loop answer", false);
}

void BM_PingAfterSessionLoad(benchmark::State& state)
{
    const std::string file = "/tmp/qm_bench_session_" + std::to_string(state.range(0)) + "_" +
                             std::to_string(state.range(1)) + ".qms";
    {
        std::ofstream out(file);
        out << "<QMSession><Loopers>";
        for (int l = 0; l < state.range(0); ++l) {
            out << "<Looper index=\"" << l << "\" channels=\"" << state.range(1) << "\" loop_secs=\"10\" discrete_io=\"yes\"><Controls/></Looper>";
        }
        out << "</Loopers></QMSession>";
    }
    Host host;
    Client client(host.engine.get_osc_port());
    run(state, client, "ping right after a session load", false, file);
    std::remove(file.c_str());
}

std::string times(const std::string& s, size_t n)
{
    std::string out;
    while (n--) out += s;
    return out;
}

double g_exact_ns = 0.0;

double thread_ns()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

void BM_Dispatch(benchmark::State& state, const std::string& path, bool baseline)
{
    qmtest::MemoryDriver driver;
    Quillomat::Engine engine;
    engine.initialize(&driver, 2, 10151, "");
    Quillomat::ControlOSC* osc = engine.get_control_osc();
    std::string data = path;
    data.append(4 - data.size() % 4, '\0').append(",\0\0\0", 4);
    if (!osc || osc->dispatch_data(data.data(), data.size()) < 0) {
        state.SkipWithError("no server, or the message was refused");
        return;
    }
    // The thread's own time: other work on the machine does not count.
    const double t0 = thread_ns();
    for (auto _ : state) {
        benchmark::DoNotOptimize(osc->dispatch_data(data.data(), data.size()));
    }
    const double ns = (thread_ns() - t0) / state.iterations();
    if (baseline) {
        g_exact_ns = ns;
    } else if (g_exact_ns > 0.0) {
        state.counters["vs_exact"] = ns / g_exact_ns;
    }
    state.counters["path_bytes"] = (double)path.size();
}

std::string many_alternatives()
{
    std::string out = "/qm/*/{";
    for (int k = 0; out.size() < 65000; ++k) out += "s" + std::to_string(k) + ",";
    return out + "set}";
}

BENCHMARK_CAPTURE(BM_Dispatch, exact_path_baseline, "/qm/12/register_update", true);
BENCHMARK_CAPTURE(BM_Dispatch, every_loop_set, "/qm/*/set", false);
BENCHMARK_CAPTURE(BM_Dispatch, stall_25_bytes, "/qm/*?*?*?*?*?*?*?*?[/set", false);
BENCHMARK_CAPTURE(BM_Dispatch, stall_closed_24_bytes, "/qm/*?*?*?*?*?*?*?*?[ae]", false);
BENCHMARK_CAPTURE(BM_Dispatch, stall_64k, "/qm/" + times("*?", 32496) + "[/set", false);
BENCHMARK_CAPTURE(BM_Dispatch, stall_closed_64k, "/qm/" + times("*?", 32496) + "[ae]", false);
BENCHMARK_CAPTURE(BM_Dispatch, stars_64k, "/qm/" + times("*", 64990) + "?[ae]", false);
BENCHMARK_CAPTURE(BM_Dispatch, alternatives_64k, many_alternatives(), false);
BENCHMARK_CAPTURE(BM_Dispatch, optional_groups_64k, "/" + times("{,q}{,m}{,/}{,1}{,2}", 3250) + "[ae]", false);
BENCHMARK_CAPTURE(BM_Dispatch, optional_groups_between_64k,
                  "/" + times(times("{,q}{,m}{,/}{,1}{,2}", 325) + "?", 10) + "[ae]", false);

BENCHMARK(BM_PingBareLiblo)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingEngine)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingAfterSessionLoad)->Args({8, 1})->Args({40, 1})->Args({8, 2})->Args({40, 2})->UseManualTime()->Iterations(30)->Unit(benchmark::kMicrosecond);

} // namespace
