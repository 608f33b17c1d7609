// MIDI parser throughput on a dense stream of notes, controllers and clock,
// against a plain scan of the same bytes.

#include <midi++/nullmidi.h>
#include <midi++/parser.h>
#include <midi++/port_request.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// About 64 KiB: chords under running status, controller sweeps, pitch bend,
// clock bytes between and inside messages.
std::vector<unsigned char> dense_stream() {
    std::vector<unsigned char> s;
    unsigned n = 0;
    while (s.size() < 65536) {
        const unsigned char ch = n % 4;
        s.push_back(0x90 | ch);
        for (int k = 0; k < 3; ++k) {
            s.push_back(48 + (n + k * 4) % 36);
            s.push_back(k == 1 ? 0 : 64 + n % 60);
        }
        s.push_back(0xF8);
        s.push_back(0xB0 | ch);
        s.push_back(n % 2 ? 7 : 1);
        s.push_back(0xF8); // real-time byte inside a controller message
        s.push_back(n % 128);
        s.push_back(74);
        s.push_back((n * 3) % 128);
        s.push_back(0xE0 | ch);
        s.push_back(n % 128);
        s.push_back(64);
        ++n;
    }
    return s;
}

const std::vector<unsigned char> stream = dense_stream();

void BM_PlainByteScan(benchmark::State& state) {
    for (auto _ : state) {
        unsigned status = 0, sum = 0;
        for (unsigned char b : stream) {
            status += b >> 7;
            sum += b;
            benchmark::DoNotOptimize(sum);
        }
        benchmark::DoNotOptimize(status);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}
BENCHMARK(BM_PlainByteScan);

void BM_ParserBare(benchmark::State& state) {
    MIDI::PortRequest req("bench", "bench", "out", "null");
    MIDI::Null_MidiPort port(req);
    MIDI::Parser parser(port); // nothing listens
    for (auto _ : state) {
        for (unsigned char b : stream) {
            parser.scanner(b);
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}
BENCHMARK(BM_ParserBare);

// A port's input parser as the MIDI bridge uses it: the sixteen channel
// states listen, and one slot takes every message.
void BM_ParserOnPort(benchmark::State& state) {
    MIDI::PortRequest req("bench", "bench", "in", "null");
    MIDI::Null_MidiPort port(req);
    unsigned long bytes = 0;
    port.input()->any.connect([&](MIDI::Parser&, MIDI::byte*, unsigned long n) { bytes += n; });
    for (auto _ : state) {
        for (unsigned char b : stream) {
            port.input()->scanner(b);
        }
    }
    benchmark::DoNotOptimize(bytes);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}
BENCHMARK(BM_ParserOnPort);

} // namespace
