#include "osc_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace qmtest {

namespace {

void quiet(int, const char*, const char*) {}

int collect_handler(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg, void* user)
{
    static_cast<OscClient*>(user)->on_message(path, types, argv, argc, msg);
    return 0;
}

} // namespace

OscClient::OscClient(int engine_port, const std::string& host) : _engine_port(engine_port), _host(host)
{
    // liblo's own pick of a port is the same sequence in every process, so
    // test programs run side by side fight over it and clients fail. Ours
    // differs per process and stays below the engines' ports (from 20000)
    // and the system's passing ports.
    thread_local std::minstd_rand pick((unsigned)getpid());
    for (int tries = 0; tries < 200 && !_server; ++tries) {
        _server = lo_server_new(std::to_string(1024 + pick() % (20000 - 1024)).c_str(), quiet);
    }
    if (!_server) {
        return;
    }
    _port = lo_server_get_port(_server);
    lo_server_add_method(_server, nullptr, nullptr, collect_handler, this);
    _target = lo_address_new(host.c_str(), std::to_string(engine_port).c_str());
}

OscClient::~OscClient()
{
    if (_target) lo_address_free(_target);
    if (_server) lo_server_free(_server);
}

std::string OscClient::url() const
{
    return "osc.udp://" + _host + ":" + std::to_string(_port) + "/";
}

bool OscClient::send_raw(const void* data, size_t size)
{
    // From the client's own socket, so it comes from the client's port.
    const int fd = _server ? lo_server_get_socket_fd(_server) : -1;
    if (fd < 0) return false;
    sockaddr_storage own{};
    socklen_t len = sizeof(own);
    if (getsockname(fd, (sockaddr*)&own, &len) != 0) return false;
    if (own.ss_family == AF_INET6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons((uint16_t)_engine_port);
        inet_pton(AF_INET6, ("::ffff:" + _host).c_str(), &to.sin6_addr);
        return sendto(fd, data, size, 0, (sockaddr*)&to, sizeof(to)) == (ssize_t)size;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)_engine_port);
    inet_pton(AF_INET, _host.c_str(), &to.sin_addr);
    return sendto(fd, data, size, 0, (sockaddr*)&to, sizeof(to)) == (ssize_t)size;
}

void OscClient::on_message(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg)
{
    OscMsg m;
    m.path = path;
    m.types = types ? types : "";
    const char* from = msg && lo_message_get_source(msg) ? lo_address_get_port(lo_message_get_source(msg)) : nullptr;
    m.from_port = from ? atoi(from) : 0;
    for (int k = 0; k < argc; ++k) {
        OscArg a;
        a.type = types[k];
        switch (a.type) {
        // Arguments sit at 4-byte boundaries: read them as bytes.
        case 'i':
            std::memcpy(&a.i, argv[k], sizeof a.i);
            break;
        case 'f':
            std::memcpy(&a.f, argv[k], sizeof a.f);
            break;
        case 's':
        case 'S':
            a.s = reinterpret_cast<const char*>(argv[k]);
            break;
        default:
            break;
        }
        m.args.push_back(a);
    }
    _inbox.push_back(m);
}

void OscClient::receive(int ms)
{
    if (_server) lo_server_recv_noblock(_server, ms);
}

bool OscClient::wait(const std::string& path, OscMsg& out, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (auto it = _inbox.begin(); it != _inbox.end(); ++it) {
            if (it->path == path) {
                out = *it;
                _inbox.erase(it);
                return true;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        receive((int)std::min<long long>(left.count(), 50));
    }
}

std::vector<OscMsg> OscClient::collect(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        receive((int)left.count());
    }
    while (lo_server_recv_noblock(_server, 0) > 0) {
    }
    std::vector<OscMsg> out;
    out.swap(_inbox);
    return out;
}

bool OscClient::sync(int timeout_ms)
{
    OscMsg m;
    return send("/ping", url(), "/qm_sync") && wait("/qm_sync", m, timeout_ms);
}

} // namespace qmtest
