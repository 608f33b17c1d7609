// How datagrams reach the handlers. liblo parses the messages and converts
// numbers; receiving, matching patterns and dispatching are ours: liblo's
// own use allocations whose results they never check, where running out of
// memory must cost a message, not the host, and its pattern matching can
// take seconds over one short pattern.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "control_osc.h"
#include "control_osc_datagram.h"
#include "control_osc_pattern.h"

namespace Quillomat {

namespace {

// A bundle with bundles nested deeper than this is dropped whole, keeping
// the stack small.
const int kMaxBundleDepth = 16;
// More arguments than any method takes: a message with more is not converted.
const int kMaxConverted = 8;

bool is_pattern(const char* path)
{
    return std::strpbrk(path, "*?[]{}") != nullptr;
}

uint32_t big_endian_at(const char* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return ntohl(v);
}

// Whether a message of types can go to a method of want, as liblo converts:
// numbers into numbers, strings into strings, else exactly.
bool converts(const char* want, const char* types)
{
    if (std::strlen(want) != std::strlen(types)) {
        return false;
    }
    for (size_t i = 0; want[i]; ++i) {
        const lo_type a = (lo_type)want[i];
        const lo_type b = (lo_type)types[i];
        if (a != b && !(lo_is_numerical_type(a) && lo_is_numerical_type(b)) &&
            !(lo_is_string_type(a) && lo_is_string_type(b))) {
            return false;
        }
    }
    return true;
}

} // namespace

void ControlOSC::add_osc_method(const char* path, const char* types, lo_method_handler handler, void* data)
{
    if (std::strlen(path) > OscPattern::MaxPathLength) {
        throw std::length_error(std::string("OSC method path too long for patterns: ") + path);
    }
    _methods.push_back(OscMethod{path, types, handler, data});
    // After those of the same path.
    const size_t added = _methods.size() - 1;
    _by_path.insert(std::upper_bound(_by_path.begin(), _by_path.end(), added,
                                     [this](size_t a, size_t b) { return _methods[a].path < _methods[b].path; }),
                    added);
}

bool ControlOSC::receive_datagram()
{
    socklen_t from_size = sizeof(_from);
    const ssize_t got = recvfrom(_socket, _receiving.data(), _receiving.size(), MSG_DONTWAIT | MSG_TRUNC,
                                 (sockaddr*)&_from, &from_size);
    if (got < 0) {
        return false;
    }
    // A longer one was cut short: dropped.
    if ((size_t)got <= _receiving.size()) {
        _from_known = from_size >= sizeof(_from) && _from.sin_family == AF_INET;
        dispatch_datagram(_receiving.data(), (size_t)got);
        _from_known = false;
    }
    return true;
}

int ControlOSC::dispatch_data(const void* data, size_t size)
{
    if (!_osc_server || !data) {
        return -1;
    }
    std::vector<char> copy((const char*)data, (const char*)data + size);
    _from_known = false;
    return dispatch_datagram(copy.data(), copy.size()) ? (int)size : -1;
}

bool ControlOSC::dispatch_datagram(char* data, size_t size)
{
    // Every message at every depth is parsed before any acts, so that a
    // bundle acts whole or not at all. Bundles act when they arrive.
    std::vector<ParsedMessage> messages;
    try {
        if (!parse_element(data, size, 0, messages)) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        return true;
    }
    for (const ParsedMessage& m : messages) {
        dispatch_message(m.path, m.msg.get());
    }
    return true;
}

bool ControlOSC::parse_element(char* data, size_t size, int depth, std::vector<ParsedMessage>& out)
{
    static const char bundle[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
    if (size < sizeof(bundle) || std::memcmp(data, bundle, sizeof(bundle)) != 0) {
        int result = 0;
        ParsedMessage m{data, MessageRef(lo_message_deserialise(data, size, &result), lo_message_free)};
        if (!m.msg) {
            return false;
        }
        out.push_back(std::move(m));
        return true;
    }
    // The time tag follows.
    const size_t first = 16;
    if (size < first || depth >= kMaxBundleDepth) {
        return false;
    }
    for (size_t at = first; at < size;) {
        if (size - at < 4) {
            return false;
        }
        const uint32_t length = big_endian_at(data + at);
        if (length % 4 != 0 || length > size - at - 4 || !parse_element(data + at + 4, length, depth + 1, out)) {
            return false;
        }
        at += 4 + length;
    }
    return true;
}

void ControlOSC::dispatch_message(const char* path, lo_message msg)
{
    const char* types = lo_message_get_types(msg);
    lo_arg** argv = lo_message_get_argv(msg);
    const int argc = lo_message_get_argc(msg);
    try {
        // A pattern is never answered with a listing, even one ending in "/".
        if (is_pattern(path)) {
            const OscPattern pattern(path);
            for (const OscMethod& m : _methods) {
                if (pattern.matches(m.path)) {
                    call_method(m, types, argv, argc, msg);
                }
            }
            return;
        }
        auto it = std::lower_bound(_by_path.begin(), _by_path.end(), path, [this](size_t m, const char* p) {
            return std::strcmp(_methods[m].path.c_str(), p) < 0;
        });
        bool taken = false;
        for (; it != _by_path.end() && _methods[*it].path == path && !taken; ++it) {
            taken = call_method(_methods[*it], types, argv, argc, msg);
        }
        const size_t length = std::strlen(path);
        if (!taken && length > 0 && path[length - 1] == '/') {
            answer_listing(path);
        }
    } catch (const std::bad_alloc&) {
        // Out of memory in a handler or an answer: the message is lost, as
        // a datagram may be.
    }
}

bool ControlOSC::call_method(const OscMethod& m, const char* types, lo_arg** argv, int argc, lo_message msg)
{
    if (!m.types || std::strcmp(m.types, types) == 0) {
        return m.handler(m.path.c_str(), types, argv, argc, msg, m.data) == 0;
    }
    if (argc > kMaxConverted || !converts(m.types, types)) {
        return false;
    }
    lo_arg converted[kMaxConverted];
    lo_arg* args[kMaxConverted];
    for (int i = 0; i < argc; ++i) {
        args[i] = argv[i];
        // The string types share one layout.
        if (m.types[i] != types[i] && lo_is_numerical_type((lo_type)types[i])) {
            lo_coerce((lo_type)m.types[i], &converted[i], (lo_type)types[i], argv[i]);
            args[i] = &converted[i];
        }
    }
    return m.handler(m.path.c_str(), m.types, args, argc, msg, m.data) == 0;
}

void ControlOSC::answer_listing(const char* path)
{
    if (!_from_known) {
        return;
    }
    const size_t length = std::strlen(path);
    OscDatagram reply;
    reply.add(path);
    std::vector<std::string> names;
    for (const OscMethod& m : _methods) {
        if (m.path.compare(0, length, path) != 0) {
            continue;
        }
        std::string name = m.path.substr(length, m.path.find('/', length) - length);
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
            reply.add(name);
            names.push_back(std::move(name));
        }
    }
    send_to(_from, reply.bytes("#reply"));
}

} // namespace Quillomat
