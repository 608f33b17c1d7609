// Everything the OSC server sends: answers, errors, binding listings,
// configuration announcements and control updates to subscribers.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "command_map.h"
#include "control_osc.h"
#include "engine.h"
#include "midi_bind.h"
#include "version.h"

namespace Quillomat {

namespace {

// Bounds on what clients can make the server keep. A full address cache
// drops addresses, never refuses one: subscriptions hold their own.
const size_t kMaxCachedAddresses = 256;
const size_t kMaxSubscribersPerKey = 64;
const size_t kMaxSubscriptionsPerClient = 256;
const size_t kMaxSubscriptions = 4096;
const size_t kMaxConfigListeners = 64;
// At most one line about refused subscriptions per this many seconds.
const int kRefusalReportSeconds = 10;

bool same_value(float a, float b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool host_char(char c)
{
    return std::isalnum((unsigned char)c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '%';
}

// "osc.udp://HOST:PORT/..." with a host name, an IPv4 address or an IPv6
// address in brackets. liblo's own URL parser reads past its buffer on some
// malformed URLs, so it never sees one from a client.
bool split_udp_url(const std::string& url, std::string& host, std::string& port)
{
    static const std::string prefix = "osc.udp://";
    if (url.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    size_t at = prefix.size();
    size_t end;
    if (at < url.size() && url[at] == '[') {
        end = url.find(']', at);
        if (end == std::string::npos) {
            return false;
        }
        host = url.substr(at + 1, end - at - 1);
        at = end + 1;
    } else {
        end = url.find(':', at);
        if (end == std::string::npos) {
            return false;
        }
        host = url.substr(at, end - at);
        at = end;
    }
    if (host.empty() || host.size() > 255 || !std::all_of(host.begin(), host.end(), host_char)) {
        return false;
    }
    if (at >= url.size() || url[at] != ':') {
        return false;
    }
    ++at;
    end = at;
    while (end < url.size() && std::isdigit((unsigned char)url[end])) {
        ++end;
    }
    if (end == at || end - at > 5 || (end < url.size() && url[end] != '/')) {
        return false;
    }
    port = url.substr(at, end - at);
    const long number = std::strtol(port.c_str(), nullptr, 10);
    return number > 0 && number <= 65535;
}

} // namespace

ControlOSC::ReplyAddress::~ReplyAddress()
{
    lo_address_free(addr);
}

ControlOSC::AddressRef ControlOSC::find_or_cache_addr(const std::string& url)
{
    if (url.empty()) {
        return nullptr;
    }
    auto it = _retaddr_map.find(url);
    if (it != _retaddr_map.end()) {
        return it->second;
    }
    // Answers go to UDP clients only: a local-socket or TCP URL would let a
    // client aim our messages at any socket on this machine, or block the
    // engine thread in a connect.
    std::string host, port;
    if (!split_udp_url(url, host, port)) {
        return nullptr;
    }
    lo_address addr = lo_address_new_with_proto(LO_UDP, host.c_str(), port.c_str());
    if (!addr) {
        return nullptr;
    }
    if (lo_address_errno(addr) < 0) {
        fprintf(stderr, "addr error %d: %s\n", lo_address_errno(addr), lo_address_errstr(addr));
    }
    if (_retaddr_map.size() >= kMaxCachedAddresses) {
        // Those only the cache holds go first.
        for (auto entry = _retaddr_map.begin(); entry != _retaddr_map.end();) {
            entry = entry->second.use_count() == 1 ? _retaddr_map.erase(entry) : std::next(entry);
        }
        if (_retaddr_map.size() >= kMaxCachedAddresses) {
            _retaddr_map.erase(_retaddr_map.begin());
        }
    }
    AddressRef to(new ReplyAddress{addr, url, host + ":" + port});
    _retaddr_map[url] = to;
    return to;
}

void ControlOSC::report_send_error(lo_address addr) const
{
    fprintf(stderr, "OSC error %d: %s\n", lo_address_errno(addr), lo_address_errstr(addr));
}

void ControlOSC::report_binding_error(lo_address addr) const
{
    fprintf(stderr, "OSC error sending binding %d: %s\n", lo_address_errno(addr), lo_address_errstr(addr));
}

bool ControlOSC::send_message(lo_address addr, const std::string& path, lo_message msg, bool report)
{
    // From our own socket: liblo's default would be whichever server the
    // process made first, which in a host may not be ours.
    const bool sent = _osc_server && lo_send_message_from(addr, _osc_server, path.c_str(), msg) >= 0;
    lo_message_free(msg);
    if (!sent && report) {
        report_send_error(addr);
    }
    return sent;
}

bool ControlOSC::send_isf(lo_address addr, const std::string& path, int instance, const std::string& name,
                          float val, bool report)
{
    lo_message msg = lo_message_new();
    lo_message_add_int32(msg, instance);
    lo_message_add_string(msg, name.c_str());
    lo_message_add_float(msg, val);
    return send_message(addr, path, msg, report);
}

bool ControlOSC::send_ss(lo_address addr, const std::string& path, const std::string& a, const std::string& b,
                         bool report)
{
    lo_message msg = lo_message_new();
    lo_message_add_string(msg, a.c_str());
    lo_message_add_string(msg, b.c_str());
    return send_message(addr, path, msg, report);
}

// ---------------------------------------------------------------------------
// Answers

void ControlOSC::finish_get_event(GetParamEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    if (AddressRef to = find_or_cache_addr(ev.ret_url)) {
        send_isf(to->addr, ev.ret_path, ev.instance, _cmd_map->to_control_str(ev.control), ev.ret_value, true);
    }
}

void ControlOSC::finish_global_get_event(GlobalGetEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    if (AddressRef to = find_or_cache_addr(ev.ret_url)) {
        send_isf(to->addr, ev.ret_path, -2, ev.param, ev.ret_value, true);
    }
}

void ControlOSC::send_error(const std::string& url, const std::string& path, const std::string& msg)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    if (AddressRef to = find_or_cache_addr(url)) {
        send_ss(to->addr, path, _server_url, msg, true);
    }
}

void ControlOSC::send_pingack(bool useudp, const std::string& url, const std::string& path)
{
    (void)useudp;  // there is only the UDP server
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    send_pingack_locked(url, path);
}

void ControlOSC::send_pingack_locked(const std::string& url, const std::string& path)
{
    const AddressRef to = find_or_cache_addr(url);
    if (!to) {
        return;
    }
    lo_address addr = to->addr;
    lo_message msg = lo_message_new();
    lo_message_add_string(msg, _server_url.c_str());
    lo_message_add_string(msg, quillomat_version);
    lo_message_add_int32(msg, _engine ? (int)_engine->loop_count() : 0);
    send_message(addr, path, msg, true);
}

void ControlOSC::send_all_config()
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    send_all_config_locked();
}

void ControlOSC::send_all_config_locked()
{
    for (const auto& listener : _config_registrations) {
        send_pingack_locked(listener.first, listener.second);
    }
}

void ControlOSC::finish_register_event(RegisterConfigEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    const std::pair<std::string, std::string> listener(ev.ret_url, ev.ret_path);
    auto it = _config_registrations.begin();
    while (it != _config_registrations.end() && *it != listener) {
        ++it;
    }
    if (ev.type == RegisterConfigEvent::Register) {
        if (it == _config_registrations.end() && _config_registrations.size() < kMaxConfigListeners) {
            _config_registrations.push_back(listener);
        }
    } else if (it != _config_registrations.end()) {
        _config_registrations.erase(it);
    }
}

void ControlOSC::send_all_midi_bindings(MidiBindings* bindings, const std::string& url, const std::string& path)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    const AddressRef to = find_or_cache_addr(url);
    if (!to) {
        return;
    }
    lo_address addr = to->addr;
    MidiBindings::BindingList list;
    if (bindings) {
        bindings->get_bindings(list);
    }
    for (const MidiBindInfo& info : list) {
        if (!send_ss(addr, path, "add", info.serialize(), false)) {
            report_binding_error(addr);
            break;
        }
    }
    send_ss(addr, path, "done", "", true);
}

void ControlOSC::finish_midi_binding_event(MidiBindingEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    const AddressRef to = find_or_cache_addr(ev.ret_url);
    if (!to) {
        return;
    }
    lo_address addr = to->addr;
    switch (ev.type) {
    case MidiBindingEvent::Learn:
        if (send_ss(addr, ev.ret_path, "add", ev.bind_str, false)) {
            send_ss(addr, ev.ret_path, "done", ev.bind_str, true);
        } else {
            report_binding_error(addr);
        }
        break;
    case MidiBindingEvent::GetNextMidi:
        send_ss(addr, ev.ret_path, "recv", ev.bind_str, true);
        break;
    case MidiBindingEvent::CancelLearn:
        send_ss(addr, ev.ret_path, "learn_cancel", "", true);
        break;
    case MidiBindingEvent::CancelGetNext:
        send_ss(addr, ev.ret_path, "next_cancel", "", true);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Subscriptions and updates

const char* ControlOSC::subscription_refusal(const SubscriberList& list, const ReplyAddress& to, size_t& bound) const
{
    if (list.size() >= kMaxSubscribersPerKey) {
        bound = kMaxSubscribersPerKey;
        return "per control";
    }
    size_t all = 0, client = 0;
    for (const RegistrationMap* map : {&_registration_map, &_auto_registration_map}) {
        for (const auto& entry : *map) {
            all += entry.second.size();
            for (const Subscriber& s : entry.second) {
                client += s.to->client == to.client ? 1 : 0;
            }
        }
    }
    if (client >= kMaxSubscriptionsPerClient) {
        bound = kMaxSubscriptionsPerClient;
        return "per client";
    }
    bound = kMaxSubscriptions;
    return all >= kMaxSubscriptions ? "in all" : nullptr;
}

void ControlOSC::report_refusal(const ReplyAddress& to, const char* why, size_t bound)
{
    // A flood of registrations must not flood the log as well.
    const auto now = std::chrono::steady_clock::now();
    if (_refusal_reported && now - _last_refusal_report < std::chrono::seconds(kRefusalReportSeconds)) {
        ++_unreported_refusals;
        return;
    }
    const std::string since =
        _unreported_refusals ? " (" + std::to_string(_unreported_refusals) + " more since the last such line)" : "";
    fprintf(stderr, "OSC: update subscription for %s refused: at most %zu %s%s\n", to.client.c_str(), bound, why,
            since.c_str());
    _refusal_reported = true;
    _last_refusal_report = now;
    _unreported_refusals = 0;
}

void ControlOSC::update_registration(RegistrationMap& map, ConfigUpdateEvent& ev, bool add)
{
    const AddressRef to = find_or_cache_addr(ev.ret_url);
    if (!to) {
        return;
    }
    const InstanceKey key((int)ev.instance, _cmd_map->to_control_str(ev.control));
    auto found = map.find(key);
    if (add) {
        static const SubscriberList none;
        const SubscriberList& list = found == map.end() ? none : found->second;
        for (const Subscriber& s : list) {
            if (s.to->url == to->url && s.path == ev.ret_path) {
                return;
            }
        }
        size_t bound = 0;
        if (const char* why = subscription_refusal(list, *to, bound)) {
            report_refusal(*to, why, bound);
            return;
        }
        map[key].push_back(Subscriber{to, ev.ret_path, false, 0.0f});
        return;
    }
    if (found == map.end()) {
        return;
    }
    SubscriberList& list = found->second;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->to->url == to->url && it->path == ev.ret_path) {
            list.erase(it);
            break;
        }
    }
}

void ControlOSC::finish_update_event(ConfigUpdateEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    switch (ev.type) {
    case ConfigUpdateEvent::Send: {
        const std::string name = _cmd_map->to_control_str(ev.control);
        if (ev.instance == -1) {
            const int loops = _engine ? (int)_engine->loop_count() : 0;
            for (int i = 0; i < loops; ++i) {
                send_registered_updates_locked(name, ev.value, i, ev.source);
            }
        } else {
            send_registered_updates_locked(name, ev.value, ev.instance, ev.source);
        }
        break;
    }
    case ConfigUpdateEvent::Register:
        update_registration(_registration_map, ev, true);
        break;
    case ConfigUpdateEvent::Unregister:
        update_registration(_registration_map, ev, false);
        break;
    case ConfigUpdateEvent::RegisterAuto:
        update_registration(_auto_registration_map, ev, true);
        break;
    case ConfigUpdateEvent::UnregisterAuto:
        update_registration(_auto_registration_map, ev, false);
        break;
    default:
        break;
    }
}

void ControlOSC::finish_loop_config_event(ConfigLoopEvent& ev)
{
    if (ev.type != ConfigLoopEvent::Remove) {
        return;
    }
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    for (auto it = _registration_map.begin(); it != _registration_map.end();) {
        if (it->first.first == ev.index) {
            it = _registration_map.erase(it);
        } else {
            ++it;
        }
    }
}

void ControlOSC::send_registered_updates(const std::string& ctrl, float val, int instance, int source)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    send_registered_updates_locked(ctrl, val, instance, source);
}

void ControlOSC::send_registered_updates_locked(const std::string& ctrl, float val, int instance, int source)
{
    auto it = _registration_map.find(InstanceKey(instance, ctrl));
    if (it != _registration_map.end() && !send_list(it->second, ctrl, val, instance, source)) {
        _registration_map.erase(it);
    }
}

bool ControlOSC::send_list(SubscriberList& list, const std::string& ctrl, float val, int instance, int source)
{
    for (auto it = list.begin(); it != list.end();) {
        // Clients are told apart by port: the one that made the change knows it.
        const char* port = lo_address_get_port(it->to->addr);
        if (source >= 0 && port && atoi(port) == source) {
            ++it;
            continue;
        }
        if (!send_isf(it->to->addr, it->path, instance, ctrl, val, false)) {
            it = list.erase(it);
            continue;
        }
        ++it;
    }
    return !list.empty();
}

void ControlOSC::send_auto_updates()
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    for (auto key = _auto_registration_map.begin(); key != _auto_registration_map.end();) {
        const int instance = key->first.first;
        const std::string& name = key->first.second;
        const float val = _engine ? _engine->get_control_value(_cmd_map->to_control_t(name), (int8_t)instance) : 0.0f;
        SubscriberList& list = key->second;
        for (auto it = list.begin(); it != list.end();) {
            if (it->sent && same_value(it->last, val)) {
                ++it;
                continue;
            }
            if (!send_isf(it->to->addr, it->path, instance, name, val, false)) {
                it = list.erase(it);
                continue;
            }
            it->sent = true;
            it->last = val;
            ++it;
        }
        key = list.empty() ? _auto_registration_map.erase(key) : std::next(key);
    }
}

} // namespace Quillomat
