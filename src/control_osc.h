#pragma once
// The engine's OSC endpoint: a UDP server on the first free port from a base
// (on loopback, unless QM_OSC_ADDRESS names another address of the machine),
// its own thread that waits on the socket and a wake-up pipe and hands each
// message to a handler, and everything the engine sends back
// (answers, errors, binding listings, configuration announcements, control
// updates to subscribers).
//
// Threads
// - OSC thread: the handlers. They only queue work for the engine (a real-time
//   event, or a request for the engine thread) and note whom they heard from;
//   they never send. "/quit" calls the engine's quit directly. The thread
//   itself answers a path that ends in "/" with the names below it.
// - Engine thread: every answer and update. The host's thread may send the
//   configuration announcement too (a loop added there, a session restored
//   there), and a lookup thread sends what waited for its host name; one
//   lock serialises all senders over the address cache and the subscriber
//   lists.
// - Lookup threads: one for each host name of a reply address being looked
//   up (NameResolver), so that a name server that does not answer holds up
//   only the answers for that name, and never the close.
// Every method, for every loop index a loop can have (and -1, all loops), is
// registered before the OSC thread starts; none is added or removed later.
#include <lo/lo.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <kvo/sigcompat.h>

#include "control_osc_resolver.h"
#include "event.h"
#include "event_nonrt.h"
#include "lockmonitor.hpp"

namespace Quillomat {

class CommandMap;
class Engine;
class MidiBindings;

class ControlOSC : public SigC::Object {
public:
    // Highest loop index an OSC path can name (loop indices are a signed byte).
    static const int MaxLoopIndex = 127;
    // How many ports from the base are tried.
    static const int PortTries = 20;

    // Binds the first free UDP port of port .. port + 19 and starts the OSC
    // thread; the thread runs (and is_ok) also when no port could be bound.
    ControlOSC(Engine* engine, unsigned int port);
    virtual ~ControlOSC();

    ControlOSC(const ControlOSC&) = delete;
    ControlOSC& operator=(const ControlOSC&) = delete;

    bool is_ok() const { return _ok; }
    // The bound port; 0 when none could be bound.
    int get_server_port() const { return _osc_server ? _port : 0; }
    // Empty without a server.
    std::string get_server_url() const { return _server_url; }
    // There is no local-socket server: always empty.
    std::string get_unix_server_url() const { return std::string(); }

    // Slots of the engine's LoopAdded and LoopRemoved: announce the new
    // configuration to the listeners (on the adding or removing thread).
    void on_loop_added(int index, bool send_config);
    void on_loop_removed();

    // --- answers and updates: engine thread

    void finish_get_event(GetParamEvent& ev);
    void finish_global_get_event(GlobalGetEvent& ev);
    // Registrations and unregistrations of update subscribers, and Send: tell
    // the subscribers of a changed value.
    void finish_update_event(ConfigUpdateEvent& ev);
    // After a loop removal: the change subscriptions of that index go.
    void finish_loop_config_event(ConfigLoopEvent& ev);
    void finish_register_event(RegisterConfigEvent& ev);
    // Learn and get-next answers and their cancellations.
    void finish_midi_binding_event(MidiBindingEvent& ev);
    // "add" for every binding, then "done"; the caller holds the bindings' lock.
    void send_all_midi_bindings(MidiBindings* bindings, const std::string& url, const std::string& path);
    void send_error(const std::string& url, const std::string& path, const std::string& msg);
    void send_pingack(bool useudp, const std::string& url, const std::string& path);
    // The ping answer to every configuration listener; also the host's thread.
    void send_all_config();
    // Polled subscriptions: each subscriber gets a value when it differs from
    // the last one sent to that subscriber (so a new one gets it at once).
    void send_auto_updates();
    // Change subscribers of (instance, ctrl), except the client at UDP port
    // source that made the change.
    void send_registered_updates(const std::string& ctrl, float val, int instance, int source);

    // Hands one raw datagram to the handlers as if it had arrived; -1 when it
    // is no OSC message or bundle, or anything in it is malformed (then
    // nothing in it acts). For tests and fuzzing, while nothing is being
    // received.
    int dispatch_data(const void* data, size_t size);

    // Replaces how the host names of reply addresses are looked up (by
    // default the system's resolver), for names not looked up yet. For
    // tests.
    void set_name_lookup(NameResolver::Lookup lookup);

    // The handlers' entry, public for the C callbacks only.
    struct CommandInfo;
    struct MidiBindCommand;
    int handle_message(const CommandInfo& info, lo_arg** argv, int argc, lo_message msg);
    int handle_midi_binding(const MidiBindCommand& info, lo_arg** argv, int argc, lo_message msg);

private:
    // A reply address, shared by the cache and the subscriptions that send to
    // it: the cache may drop it while subscriptions still use it. A host
    // name is looked up on a thread of its own; until then what is sent to
    // it waits here.
    struct ReplyAddress {
        bool has_addr = false;  // false until the host has an address
        sockaddr_in addr{};
        int send_errno = 0;  // of the last send that failed
        std::string url;
        std::string host;
        int port = 0;
        uint64_t heard_as = 0;    // heard_key of the URL's host and port: the client
        uint64_t heard_at = 0;    // and of the address, once the host has one
        std::deque<std::string> waiting;  // datagrams
        size_t* waiting_total = nullptr;  // the server's count of waiting messages
        ~ReplyAddress();
        // "HOST:PORT" as the URL names it.
        std::string client() const { return host + ":" + std::to_string(port); }
    };
    typedef std::shared_ptr<ReplyAddress> AddressRef;
    // Where an address stands for a send.
    enum Reach { Ready, Waiting, Unreachable };

    struct Subscriber {
        AddressRef to;
        std::string path;
        bool sent;   // polled subscriptions: last holds what this one was sent
        float last;
        uint64_t since;  // order of subscription
    };
    typedef std::vector<Subscriber> SubscriberList;
    // (loop index, or -1 all loops, or -2 the engine; control name)
    typedef std::pair<int, std::string> InstanceKey;
    typedef std::map<InstanceKey, SubscriberList> RegistrationMap;
    // Whoever holds update subscriptions, by the heard_as of their reply
    // addresses, with them in order of subscription.
    struct SubscriptionAt {
        RegistrationMap* map;
        InstanceKey key;
    };
    struct Client {
        uint64_t heard_at = 0;  // of its host's address, once looked up
        uint64_t heard = 0;     // when last heard, as last looked at (it only grows)
        std::map<uint64_t, SubscriptionAt> subscriptions;  // by since
    };
    // (heard, since of its oldest subscription): the first of the clients
    // gives way, once its heard is up to date.
    typedef std::pair<uint64_t, uint64_t> Rank;
    struct ConfigListener {
        std::string url;
        std::string path;
        AddressRef to;  // null for a URL or path nothing is sent to
    };

    // At most one line per this many seconds of a kind, with the count of
    // those not written since.
    struct ReportLimit {
        bool said = false;
        std::chrono::steady_clock::time_point last;
        unsigned long unsaid = 0;
        void say(const std::string& line);
    };

    // "osc.udp://HOST:PORT/..." (a host name, an IPv4 address or an IPv6
    // address in brackets, which is then refused); false for anything else.
    static bool split_udp_url(const std::string& url, std::string& host, int& port);

    // The address of a reply URL, cached; null for an empty or unusable URL
    // (only "osc.udp://HOST:PORT/" URLs are answered) or a reply path that
    // does not start with "/". With _reply_lock held.
    AddressRef find_or_cache_addr(const std::string& url, const std::string& path);
    // Asks for the host's address when it has none yet; once it has one, what
    // waited is sent first. With _reply_lock held.
    Reach settle(ReplyAddress& to);
    // As settle, with what the lookup of to's host gave.
    Reach settle_as(ReplyAddress& to, NameResolver::State state, const in_addr& found);
    // A lookup thread: host has a result.
    void on_name_resolved(const std::string& host, NameResolver::State state, in_addr address);

    // A handler, with its user data, for messages to path whose arguments
    // are or convert to types (null: any arguments, as they are).
    struct OscMethod {
        std::string path;
        const char* types;
        lo_method_handler handler;
        void* data;
    };
    // A message of a datagram, parsed: its path lies in the datagram.
    typedef std::unique_ptr<void, void (*)(lo_message)> MessageRef;
    struct ParsedMessage {
        const char* path;
        MessageRef msg;
    };
    // On the OSC thread, or in dispatch_data. A message that cannot be taken
    // (malformed, for no method, or out of memory) is dropped without a
    // word, as a datagram may be lost; a bundle with anything malformed in
    // it, or nested too deep, is dropped whole.
    void add_osc_method(const char* path, const char* types, lo_method_handler handler, void* data);
    bool dispatch_datagram(char* data, size_t size);
    // Appends every message of the message or bundle at data, in order;
    // false when anything in it is malformed or nested too deep.
    bool parse_element(char* data, size_t size, int depth, std::vector<ParsedMessage>& out);
    void dispatch_message(const char* path, lo_message msg);
    // Whether m took the message (its handler returned 0).
    bool call_method(const OscMethod& m, const char* types, lo_arg** argv, int argc, lo_message msg);
    // "#reply", the path and every name below it, to the sender.
    void answer_listing(const char* path);
    // One datagram from the socket, if one is there.
    bool receive_datagram();

    void register_methods();
    void add_method(const char* path, const char* types, int method, int kind, int instance, Event::type_t type);
    void add_loop_methods(int index);
    bool init_osc_thread();
    void osc_receiver();
    void poke_osc_thread();
    void terminate_osc_thread();

    bool push(EventNonRT* ev);
    // UDP port of the message being dispatched; -1 when it has no sender.
    int sender_port() const;
    // Whom the server hears from: an IPv4 address and port, or else the hash
    // of "HOST:PORT" (a name, in a reply URL).
    static uint64_t heard_key(const std::string& host, int port);
    static uint64_t heard_key(in_addr address, int port);
    // OSC thread: the sender of the message being dispatched, msg, and every
    // reply address it names, were heard from just now.
    void note_heard(lo_message msg);
    // When a client was last heard from, by its URL's key and its address's
    // (0: none yet); 0 when never. With _heard_lock held.
    uint64_t last_heard_locked(uint64_t heard_as, uint64_t heard_at) const;

    // With _reply_lock held.
    void send_pingack_locked(ReplyAddress& to, const std::string& path);
    void send_all_config_locked();
    void send_registered_updates_locked(const std::string& ctrl, float val, int instance, int source);
    // From our own socket, whichever thread sends.
    bool send_to(const sockaddr_in& addr, const std::string& datagram) const;
    bool send_now(ReplyAddress& to, const std::string& datagram, bool report);
    // Sends, or keeps the datagram until the host has an address; false
    // when it can be neither.
    bool send_message(ReplyAddress& to, std::string datagram, bool report);
    bool send_list(SubscriberList& list, const std::string& ctrl, float val, int instance, int source);
    bool send_isf(ReplyAddress& to, const std::string& path, int instance, const std::string& name, float val,
                  bool report);
    bool send_ss(ReplyAddress& to, const std::string& path, const std::string& a, const std::string& b,
                 bool report);
    void report_binding_error(const ReplyAddress& to) const;
    void update_registration(RegistrationMap& map, ConfigUpdateEvent& ev, bool add);
    // Within every bound, a subscription of to on key of map fits once those
    // of the clients heard from least recently have given way.
    void make_room(RegistrationMap& map, const InstanceKey& key, const ReplyAddress& to);
    // Every subscription that is added to or removed from a list is told here.
    void subscribed(RegistrationMap& map, const InstanceKey& key, const Subscriber& s);
    void unsubscribed(const Subscriber& s);
    static Rank rank(const Client& c) { return Rank(c.heard, c.subscriptions.begin()->first); }
    // Brings the client's heard up to date; true when it changed. With
    // _heard_lock held.
    bool refresh_locked(uint64_t heard_as, Client& c);

    Engine* _engine;
    std::thread _osc_thread;
    int _request_pipe[2];
    lo_server _osc_server;  // holds the socket and names its URL
    int _socket;            // the server's
    std::string _server_url;  // names the bound address; empty without a server
    int _port;
    bool _ok;
    std::atomic<bool> _shutdown;
    CommandMap* _cmd_map;

    // In the order they were added; none is added once the thread runs.
    std::vector<OscMethod> _methods;
    // Indices into _methods by path, those of one path in the order added.
    std::vector<size_t> _by_path;
    // The handlers' user data.
    std::vector<std::unique_ptr<CommandInfo>> _command_infos;
    std::vector<std::unique_ptr<MidiBindCommand>> _midi_commands;
    // Whom the message being dispatched came from (OSC thread).
    bool _from_known = false;
    sockaddr_in _from{};
    // The datagram being received: up to 64 KiB.
    std::vector<char> _receiving = std::vector<char>(65536);

    // Serialises everything that sends (engine thread, host's thread,
    // lookup threads).
    Kvo::NonBlockingLock _reply_lock;
    size_t _waiting_messages = 0;  // before the addresses that count them
    std::map<std::string, AddressRef> _retaddr_map;
    RegistrationMap _registration_map;       // every change
    RegistrationMap _auto_registration_map;  // polled every 100 ms
    std::list<ConfigListener> _config_registrations;
    uint64_t _next_since = 0;
    std::unordered_map<uint64_t, Client> _clients;  // by heard_as
    std::map<Rank, uint64_t> _ranked;               // heard_as of each client
    size_t _subscriptions = 0;                      // in both maps
    ReportLimit _gave_way_reports;
    ReportLimit _unresolved_reports;
    ReportLimit _busy_reports;
    ReportLimit _ipv6_reports;

    // Whom the OSC thread heard from (senders and the reply addresses they
    // name, by heard_key), by the count of notes when last heard.
    mutable std::mutex _heard_lock;
    std::unordered_map<uint64_t, uint64_t> _heard;
    uint64_t _heard_count = 0;

    // Stopped first, while everything it may send through is there.
    std::unique_ptr<NameResolver> _resolver;
};

} // namespace Quillomat
