// Everything the OSC server sends: answers, errors, binding listings,
// configuration announcements and control updates to subscribers.
#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "command_map.h"
#include "control_osc.h"
#include "control_osc_datagram.h"
#include "engine.h"
#include "midi_bind.h"
#include "version.h"

namespace Quillomat {

namespace {

// Bounds on what clients can make the server keep. A full address cache
// drops addresses, never refuses one: subscriptions hold their own. At a
// full subscription bound the client heard from least recently gives way.
const size_t kMaxCachedAddresses = 256;
const size_t kMaxSubscribersPerKey = 64;
const size_t kMaxSubscriptionsPerClient = 256;
const size_t kMaxSubscriptions = 4096;
const size_t kMaxConfigListeners = 64;
// Messages kept for host names still being looked up: per address, in all.
const size_t kMaxWaitingPerAddress = 256;
const size_t kMaxWaiting = 1024;
// At most one line of a kind per this many seconds.
const int kReportSeconds = 10;

bool same_value(float a, float b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool host_char(char c)
{
    return std::isalnum((unsigned char)c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '%';
}

// The address text of a host that needs no lookup; "" for a name.
std::string numeric_host(const std::string& host)
{
    in_addr any;
    if (inet_pton(AF_INET, host.c_str(), &any) == 1) {
        return host;
    }
    return strcasecmp(host.c_str(), "localhost") == 0 ? "127.0.0.1" : "";
}

bool ipv6_address(const std::string& host)
{
    in6_addr any;
    return inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

void free_waiting(std::deque<std::string>& waiting, size_t* total)
{
    if (total) {
        *total -= std::min(*total, waiting.size());
    }
    waiting.clear();
}

} // namespace

// liblo's own URL parser reads past its buffer on some malformed URLs, so it
// never sees one from a client.
bool ControlOSC::split_udp_url(const std::string& url, std::string& host, int& port)
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
    port = (int)std::strtol(url.substr(at, end - at).c_str(), nullptr, 10);
    return port > 0 && port <= 65535;
}

ControlOSC::ReplyAddress::~ReplyAddress()
{
    free_waiting(waiting, waiting_total);
}

void ControlOSC::ReportLimit::say(const std::string& line)
{
    // A flood of requests must not flood the log as well.
    const auto now = std::chrono::steady_clock::now();
    if (said && now - last < std::chrono::seconds(kReportSeconds)) {
        ++unsaid;
        return;
    }
    const std::string since = unsaid ? " (" + std::to_string(unsaid) + " more since the last such line)" : "";
    fprintf(stderr, "%s%s\n", line.c_str(), since.c_str());
    said = true;
    last = now;
    unsaid = 0;
}

namespace {

sockaddr_in udp_address(in_addr host, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = host;
    addr.sin_port = htons((uint16_t)port);
    return addr;
}

} // namespace

ControlOSC::AddressRef ControlOSC::find_or_cache_addr(const std::string& url, const std::string& path)
{
    // What is sent there would carry no OSC address.
    if (url.empty() || path.empty() || path[0] != '/') {
        return nullptr;
    }
    auto it = _retaddr_map.find(url);
    if (it != _retaddr_map.end()) {
        return it->second;
    }
    // Answers go to UDP clients only: a local-socket or TCP URL would let a
    // client aim our messages at any socket on this machine, or block the
    // engine thread in a connect.
    std::string host;
    int port = 0;
    if (!split_udp_url(url, host, port)) {
        return nullptr;
    }
    // The server's socket is IPv4.
    if (ipv6_address(host)) {
        _ipv6_reports.say("OSC: reply URL \"" + url + "\" names an IPv6 address; replies go over IPv4 only");
        return nullptr;
    }
    AddressRef to = std::make_shared<ReplyAddress>();
    to->url = url;
    to->host = host;
    to->port = port;
    to->heard_as = heard_key(host, port);
    to->waiting_total = &_waiting_messages;
    // Anything else waits for its lookup (settle).
    const std::string numeric = numeric_host(host);
    in_addr found{};
    if (!numeric.empty() && inet_pton(AF_INET, numeric.c_str(), &found) == 1) {
        to->addr = udp_address(found, port);
        to->has_addr = true;
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
    _retaddr_map[url] = to;
    return to;
}

ControlOSC::Reach ControlOSC::settle(ReplyAddress& to)
{
    if (to.has_addr) {
        return Ready;
    }
    in_addr found{};
    const NameResolver::State state = _resolver->find(to.host, found);
    if (state == NameResolver::Busy) {
        _busy_reports.say("OSC: too many host names are being looked up; what was to be sent to \"" + to.host +
                          "\" is dropped");
    }
    return settle_as(to, state, found);
}

ControlOSC::Reach ControlOSC::settle_as(ReplyAddress& to, NameResolver::State state, const in_addr& found)
{
    if (state == NameResolver::Pending) {
        return Waiting;
    }
    if (state == NameResolver::Resolved) {
        to.addr = udp_address(found, to.port);
        to.has_addr = true;
    }
    if (!to.has_addr) {
        free_waiting(to.waiting, to.waiting_total);
        return Unreachable;
    }
    to.heard_at = heard_key(found, to.port);
    auto client = _clients.find(to.heard_as);
    if (client != _clients.end()) {
        client->second.heard_at = to.heard_at;
    }
    // In the order they were meant to go.
    while (!to.waiting.empty()) {
        const std::string datagram = std::move(to.waiting.front());
        to.waiting.pop_front();
        --_waiting_messages;
        send_now(to, datagram, true);
    }
    return Ready;
}

void ControlOSC::on_name_resolved(const std::string& host, NameResolver::State state, in_addr address)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    // Only those with something to send: the others look again when they
    // next send.
    std::vector<AddressRef> those;
    auto take = [&](const AddressRef& to) {
        if (to && !to->has_addr && !to->waiting.empty() && to->host == host &&
            std::find(those.begin(), those.end(), to) == those.end()) {
            those.push_back(to);
        }
    };
    for (const auto& entry : _retaddr_map) {
        take(entry.second);
    }
    for (const RegistrationMap* map : {&_registration_map, &_auto_registration_map}) {
        for (const auto& entry : *map) {
            for (const Subscriber& s : entry.second) {
                take(s.to);
            }
        }
    }
    for (const ConfigListener& listener : _config_registrations) {
        take(listener.to);
    }
    bool dropped = false;
    for (const AddressRef& to : those) {
        dropped = settle_as(*to, state, address) == Unreachable || dropped;
    }
    if (dropped) {
        _unresolved_reports.say("OSC: host \"" + host +
                                (state == NameResolver::Failed ? "\" has no IPv4 address"
                                                               : "\" could not be looked up here now") +
                                "; what was to be sent there is dropped");
    }
}

void ControlOSC::report_binding_error(const ReplyAddress& to) const
{
    // An address that has none was told of already.
    if (to.has_addr) {
        fprintf(stderr, "OSC error sending binding %d: %s\n", to.send_errno, strerror(to.send_errno));
    }
}

bool ControlOSC::send_to(const sockaddr_in& addr, const std::string& datagram) const
{
    return _socket >= 0 && sendto(_socket, datagram.data(), datagram.size(), MSG_NOSIGNAL, (const sockaddr*)&addr,
                                  sizeof(addr)) == (ssize_t)datagram.size();
}

bool ControlOSC::send_now(ReplyAddress& to, const std::string& datagram, bool report)
{
    if (send_to(to.addr, datagram)) {
        return true;
    }
    to.send_errno = errno;
    if (report) {
        fprintf(stderr, "OSC error %d: %s\n", to.send_errno, strerror(to.send_errno));
    }
    return false;
}

bool ControlOSC::send_message(ReplyAddress& to, std::string datagram, bool report)
{
    switch (settle(to)) {
    case Ready:
        return send_now(to, datagram, report);
    case Waiting:
        // Past the bounds it is lost, as a datagram may be.
        if (to.waiting.size() < kMaxWaitingPerAddress && _waiting_messages < kMaxWaiting) {
            to.waiting.push_back(std::move(datagram));
            ++_waiting_messages;
        }
        return true;
    default:
        return false;
    }
}

bool ControlOSC::send_isf(ReplyAddress& to, const std::string& path, int instance, const std::string& name,
                          float val, bool report)
{
    return send_message(to, OscDatagram().add(instance).add(name).add(val).bytes(path.c_str()), report);
}

bool ControlOSC::send_ss(ReplyAddress& to, const std::string& path, const std::string& a, const std::string& b,
                         bool report)
{
    return send_message(to, OscDatagram().add(a).add(b).bytes(path.c_str()), report);
}

// ---------------------------------------------------------------------------
// Answers

void ControlOSC::finish_get_event(GetParamEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    if (AddressRef to = find_or_cache_addr(ev.ret_url, ev.ret_path)) {
        send_isf(*to, ev.ret_path, ev.instance, _cmd_map->to_control_str(ev.control), ev.ret_value, true);
    }
}

void ControlOSC::finish_global_get_event(GlobalGetEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    if (AddressRef to = find_or_cache_addr(ev.ret_url, ev.ret_path)) {
        send_isf(*to, ev.ret_path, -2, ev.param, ev.ret_value, true);
    }
}

void ControlOSC::send_error(const std::string& url, const std::string& path, const std::string& msg)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    if (AddressRef to = find_or_cache_addr(url, path)) {
        send_ss(*to, path, _server_url, msg, true);
    }
}

void ControlOSC::send_pingack(bool useudp, const std::string& url, const std::string& path)
{
    (void)useudp;  // there is only the UDP server
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    if (AddressRef to = find_or_cache_addr(url, path)) {
        send_pingack_locked(*to, path);
    }
}

void ControlOSC::send_pingack_locked(ReplyAddress& to, const std::string& path)
{
    const int32_t loops = _engine ? (int32_t)_engine->loop_count() : 0;
    send_message(to, OscDatagram().add(_server_url).add(quillomat_version).add(loops).bytes(path.c_str()), true);
}

void ControlOSC::send_all_config()
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    send_all_config_locked();
}

void ControlOSC::send_all_config_locked()
{
    for (const ConfigListener& listener : _config_registrations) {
        if (listener.to) {
            send_pingack_locked(*listener.to, listener.path);
        }
    }
}

void ControlOSC::finish_register_event(RegisterConfigEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    auto it = _config_registrations.begin();
    while (it != _config_registrations.end() && (it->url != ev.ret_url || it->path != ev.ret_path)) {
        ++it;
    }
    if (ev.type != RegisterConfigEvent::Register) {
        if (it != _config_registrations.end()) {
            _config_registrations.erase(it);
        }
        return;
    }
    if (it != _config_registrations.end()) {
        return;
    }
    const AddressRef to = find_or_cache_addr(ev.ret_url, ev.ret_path);
    if (_config_registrations.size() >= kMaxConfigListeners) {
        auto gone = _config_registrations.begin();
        {
            std::lock_guard<std::mutex> heard_lock(_heard_lock);
            // The first of equals is the oldest.
            uint64_t least = UINT64_MAX;
            for (auto l = _config_registrations.begin(); l != _config_registrations.end(); ++l) {
                const uint64_t heard = l->to ? last_heard_locked(l->to->heard_as, l->to->heard_at) : 0;
                if (heard < least) {
                    least = heard;
                    gone = l;
                }
            }
        }
        _gave_way_reports.say("OSC: configuration listener " + gone->url + " gave way to " + ev.ret_url +
                              ": at most " + std::to_string(kMaxConfigListeners));
        _config_registrations.erase(gone);
    }
    _config_registrations.push_back(ConfigListener{ev.ret_url, ev.ret_path, to});
}

void ControlOSC::send_all_midi_bindings(MidiBindings* bindings, const std::string& url, const std::string& path)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    const AddressRef to = find_or_cache_addr(url, path);
    if (!to) {
        return;
    }
    MidiBindings::BindingList list;
    if (bindings) {
        bindings->get_bindings(list);
    }
    for (const MidiBindInfo& info : list) {
        if (!send_ss(*to, path, "add", info.serialize(), false)) {
            report_binding_error(*to);
            break;
        }
    }
    send_ss(*to, path, "done", "", true);
}

void ControlOSC::finish_midi_binding_event(MidiBindingEvent& ev)
{
    Kvo::LockMonitor lm(_reply_lock, __LINE__, __FILE__);
    const AddressRef to = find_or_cache_addr(ev.ret_url, ev.ret_path);
    if (!to) {
        return;
    }
    switch (ev.type) {
    case MidiBindingEvent::Learn:
        if (send_ss(*to, ev.ret_path, "add", ev.bind_str, false)) {
            send_ss(*to, ev.ret_path, "done", ev.bind_str, true);
        } else {
            report_binding_error(*to);
        }
        break;
    case MidiBindingEvent::GetNextMidi:
        send_ss(*to, ev.ret_path, "recv", ev.bind_str, true);
        break;
    case MidiBindingEvent::CancelLearn:
        send_ss(*to, ev.ret_path, "learn_cancel", "", true);
        break;
    case MidiBindingEvent::CancelGetNext:
        send_ss(*to, ev.ret_path, "next_cancel", "", true);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Subscriptions and updates

uint64_t ControlOSC::last_heard_locked(uint64_t heard_as, uint64_t heard_at) const
{
    uint64_t last = 0;
    for (uint64_t k : {heard_as, heard_at}) {
        auto it = k ? _heard.find(k) : _heard.end();
        last = it == _heard.end() ? last : std::max(last, it->second);
    }
    return last;
}

void ControlOSC::subscribed(RegistrationMap& map, const InstanceKey& key, const Subscriber& s)
{
    Client& c = _clients[s.to->heard_as];
    if (!c.subscriptions.empty()) {
        _ranked.erase(rank(c));
    }
    if (s.to->heard_at) {
        c.heard_at = s.to->heard_at;
    }
    c.subscriptions.emplace(s.since, SubscriptionAt{&map, key});
    _ranked.emplace(rank(c), s.to->heard_as);
    ++_subscriptions;
}

void ControlOSC::unsubscribed(const Subscriber& s)
{
    auto it = _clients.find(s.to->heard_as);
    if (it == _clients.end() || !it->second.subscriptions.count(s.since)) {
        return;
    }
    Client& c = it->second;
    _ranked.erase(rank(c));
    c.subscriptions.erase(s.since);
    --_subscriptions;
    if (c.subscriptions.empty()) {
        _clients.erase(it);
    } else {
        _ranked.emplace(rank(c), it->first);
    }
}

bool ControlOSC::refresh_locked(uint64_t heard_as, Client& c)
{
    const uint64_t heard = std::max(c.heard, last_heard_locked(heard_as, c.heard_at));
    if (heard == c.heard) {
        return false;
    }
    _ranked.erase(rank(c));
    c.heard = heard;
    _ranked.emplace(rank(c), heard_as);
    return true;
}

void ControlOSC::make_room(RegistrationMap& map, const InstanceKey& key, const ReplyAddress& to)
{
    for (;;) {
        auto found = map.find(key);
        auto mine = _clients.find(to.heard_as);
        size_t bound;
        const char* what;
        // Where the one that gives way is.
        RegistrationMap* gone_map = nullptr;
        InstanceKey gone_key;
        uint64_t gone_since = 0;
        {
            std::lock_guard<std::mutex> heard_lock(_heard_lock);
            if (found != map.end() && found->second.size() >= kMaxSubscribersPerKey) {
                bound = kMaxSubscribersPerKey, what = "per control";
                gone_key = key;
                // Heard from least recently; of those, subscribed first.
                Rank least;
                for (const Subscriber& s : found->second) {
                    auto c = _clients.find(s.to->heard_as);
                    if (c == _clients.end()) {
                        continue;
                    }
                    refresh_locked(c->first, c->second);
                    const Rank r(c->second.heard, s.since);
                    if (!gone_map || r < least) {
                        gone_map = &map, gone_since = s.since, least = r;
                    }
                }
            } else if (mine != _clients.end() && mine->second.subscriptions.size() >= kMaxSubscriptionsPerClient) {
                bound = kMaxSubscriptionsPerClient, what = "per client";
                const auto& oldest = *mine->second.subscriptions.begin();
                gone_map = oldest.second.map, gone_key = oldest.second.key, gone_since = oldest.first;
            } else if (_subscriptions >= kMaxSubscriptions && !_ranked.empty()) {
                bound = kMaxSubscriptions, what = "in all";
                // The first once it is up to date: the others were heard at
                // least as recently as their places say. Each client moves
                // at most once per time it was heard since it last did.
                auto first = _clients.find(_ranked.begin()->second);
                while (refresh_locked(first->first, first->second)) {
                    first = _clients.find(_ranked.begin()->second);
                }
                const auto& oldest = *first->second.subscriptions.begin();
                gone_map = oldest.second.map, gone_key = oldest.second.key, gone_since = oldest.first;
            } else {
                return;
            }
        }
        auto entry = gone_map ? gone_map->find(gone_key) : map.end();
        if (!gone_map || entry == gone_map->end()) {
            return;
        }
        SubscriberList& list = entry->second;
        auto gone = std::find_if(list.begin(), list.end(), [&](const Subscriber& s) { return s.since == gone_since; });
        if (gone == list.end()) {
            return;
        }
        _gave_way_reports.say("OSC: update subscription of " + gone->to->client() + " gave way to one of " +
                              to.client() + ": at most " + std::to_string(bound) + " " + what);
        unsubscribed(*gone);
        list.erase(gone);
        if (list.empty()) {
            gone_map->erase(entry);
        }
    }
}

void ControlOSC::update_registration(RegistrationMap& map, ConfigUpdateEvent& ev, bool add)
{
    const AddressRef to = find_or_cache_addr(ev.ret_url, ev.ret_path);
    if (!to) {
        return;
    }
    const InstanceKey key((int)ev.instance, _cmd_map->to_control_str(ev.control));
    auto found = map.find(key);
    if (add) {
        if (found != map.end()) {
            for (const Subscriber& s : found->second) {
                if (s.to->url == to->url && s.path == ev.ret_path) {
                    return;
                }
            }
        }
        // A new subscription always takes.
        make_room(map, key, *to);
        SubscriberList& list = map[key];
        list.push_back(Subscriber{to, ev.ret_path, false, 0.0f, ++_next_since});
        subscribed(map, key, list.back());
        return;
    }
    if (found == map.end()) {
        return;
    }
    SubscriberList& list = found->second;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->to->url == to->url && it->path == ev.ret_path) {
            unsubscribed(*it);
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
            for (const Subscriber& s : it->second) {
                unsubscribed(s);
            }
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
        if (source >= 0 && it->to->port == source) {
            ++it;
            continue;
        }
        if (!send_isf(*it->to, it->path, instance, ctrl, val, false)) {
            unsubscribed(*it);
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
            // A host still being looked up is sent the value of the time it
            // has an address.
            const Reach reach = settle(*it->to);
            if (reach == Waiting) {
                ++it;
                continue;
            }
            if (reach == Unreachable || !send_isf(*it->to, it->path, instance, name, val, false)) {
                unsubscribed(*it);
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
