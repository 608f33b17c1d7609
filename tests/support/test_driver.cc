#include "test_driver.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "engine.h"
#include "event.h"

namespace qmtest {

TestDriver::TestDriver(nframes_t samplerate, nframes_t buffersize) : AudioDriver("qmtest", "memory")
{
    _samplerate = samplerate;
    _buffersize = buffersize;
}

TestDriver::~TestDriver()
{
    stop_audio();
    for (auto& kv : _fenced) {
        munmap(kv.second.first, kv.second.second);
    }
}

bool TestDriver::initialize(const std::string&)
{
    return _init_result;
}

bool TestDriver::activate()
{
    _active = true;
    return true;
}

bool TestDriver::deactivate()
{
    _active = false;
    return true;
}

TestDriver::Port* TestDriver::find(const std::string& name, bool is_input)
{
    for (auto& kv : _ports) {
        if (kv.second.is_input == is_input && kv.second.name == name) {
            return &kv.second;
        }
    }
    return nullptr;
}

const TestDriver::Port* TestDriver::find(const std::string& name, bool is_input) const
{
    for (const auto& kv : _ports) {
        if (kv.second.is_input == is_input && kv.second.name == name) {
            return &kv.second;
        }
    }
    return nullptr;
}

size_t TestDriver::count(bool is_input) const
{
    return (size_t)std::count_if(_ports.begin(), _ports.end(),
                                 [is_input](const auto& kv) { return kv.second.is_input == is_input; });
}

bool TestDriver::create_port(const std::string& name, bool is_input, port_id_t& id)
{
    std::lock_guard<std::mutex> lk(_lock);
    _requests.push_back((is_input ? "in:" : "out:") + name);
    if (_refused.count(name)) {
        return false;
    }
    for (auto& kv : _ports) {
        if (kv.second.is_input == is_input && kv.second.name == name) {
            ++kv.second.holders;
            id = kv.first;
            return true;
        }
    }
    if (count(is_input) >= _max_ports) {
        return false;
    }
    id = _next_id++;
    _ports[id] = Port{name, is_input, std::vector<float>(_buffersize, 0.0f), 1};
    return true;
}

bool TestDriver::create_input_port(const std::string& name, port_id_t& id)
{
    return create_port(name, true, id);
}

bool TestDriver::create_output_port(const std::string& name, port_id_t& id)
{
    return create_port(name, false, id);
}

bool TestDriver::destroy_port(port_id_t id, bool is_input)
{
    std::lock_guard<std::mutex> lk(_lock);
    auto it = _ports.find(id);
    if (it == _ports.end() || it->second.is_input != is_input) {
        return false;
    }
    if (--it->second.holders > 0) {
        return true;
    }
    _destroyed.push_back(it->second.name);
    _ports.erase(it);
    return true;
}

bool TestDriver::destroy_input_port(port_id_t id)
{
    return destroy_port(id, true);
}

bool TestDriver::destroy_output_port(port_id_t id)
{
    return destroy_port(id, false);
}

float* TestDriver::port_buffer(port_id_t id, bool is_input)
{
    // The engine's first request for a buffer marks where its block began.
    if (_stamp_due) {
        _stamp_due->inside = Quillomat::EventGenerator::createTimeStamp();
        _stamp_due = nullptr;
    }
    std::lock_guard<std::mutex> lk(_lock);
    auto it = _ports.find(id);
    if (it == _ports.end() || it->second.is_input != is_input || _hidden.count(it->second.name)) {
        return nullptr;
    }
    return data(it->second);
}

float* TestDriver::data(Port& p)
{
    auto fenced = _fenced.find(p.name);
    if (fenced != _fenced.end()) {
        return (float*)((char*)fenced->second.first + sysconf(_SC_PAGESIZE));
    }
    return p.buf.data();
}

void TestDriver::fence_buffer(const std::string& name)
{
    std::lock_guard<std::mutex> lk(_lock);
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t len = page + (_buffersize * sizeof(float) + page - 1) / page * page;
    void* m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    ASSERT_EQ(mprotect(m, page, PROT_NONE), 0);
    _fenced[name] = {m, len};
}

float* TestDriver::get_input_port_buffer(port_id_t id, nframes_t)
{
    return port_buffer(id, true);
}

float* TestDriver::get_output_port_buffer(port_id_t id, nframes_t)
{
    return port_buffer(id, false);
}

bool TestDriver::get_transport_info(Quillomat::TransportInfo& info)
{
    if (!_has_transport) {
        return false;
    }
    info = _transport;
    return true;
}

void TestDriver::set_transport(const Quillomat::TransportInfo& info)
{
    _transport = info;
    _has_transport = true;
}

void TestDriver::set_buffersize(nframes_t frames)
{
    std::lock_guard<std::mutex> lk(_lock);
    _buffersize = frames;
    for (auto& kv : _ports) {
        kv.second.buf.assign(frames, 0.0f);
    }
}

float* TestDriver::input(const std::string& name)
{
    std::lock_guard<std::mutex> lk(_lock);
    Port* p = find(name, true);
    return p ? data(*p) : nullptr;
}

float* TestDriver::output(const std::string& name)
{
    std::lock_guard<std::mutex> lk(_lock);
    Port* p = find(name, false);
    return p ? data(*p) : nullptr;
}

bool TestDriver::has_input(const std::string& name) const
{
    std::lock_guard<std::mutex> lk(_lock);
    return find(name, true) != nullptr;
}

bool TestDriver::has_output(const std::string& name) const
{
    std::lock_guard<std::mutex> lk(_lock);
    return find(name, false) != nullptr;
}

void TestDriver::clear_buffers()
{
    std::lock_guard<std::mutex> lk(_lock);
    for (auto& kv : _ports) {
        std::fill(kv.second.buf.begin(), kv.second.buf.end(), 0.0f);
    }
}

void TestDriver::start_audio(std::function<void(uint64_t)> fill, std::function<void(uint64_t)> take, bool paced,
                             size_t stamps)
{
    stop_audio();
    _blocks.store(0);
    _stamps.assign(stamps, BlockStamp());
    _audio_run.store(true);
    _audio = std::thread([this, fill, take, paced, stamps] {
        using clock = std::chrono::steady_clock;
        const auto period = std::chrono::duration_cast<clock::duration>(
            std::chrono::duration<double>((double)_buffersize / (double)(_samplerate ? _samplerate : 1)));
        auto next = clock::now();
        for (uint64_t k = 0; _audio_run.load(std::memory_order_acquire); ++k) {
            if (paced) {
                std::this_thread::sleep_until(next);
                next += period;
            }
            if (fill) fill(k);
            if (k < stamps) {
                _stamps[k].before = Quillomat::EventGenerator::createTimeStamp();
                _stamp_due = &_stamps[k];
            }
            if (_engine) _engine->process(_buffersize);
            _stamp_due = nullptr;
            if (take) take(k);
            _blocks.store(k + 1, std::memory_order_release);
        }
    });
}

void TestDriver::stop_audio()
{
    _audio_run.store(false);
    if (_audio.joinable()) {
        _audio.join();
    }
}

bool TestDriver::wait_blocks(uint64_t n)
{
    const uint64_t goal = blocks_run() + n;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (blocks_run() < goal) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace qmtest
