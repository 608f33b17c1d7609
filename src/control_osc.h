#pragma once
// The engine's OSC endpoint: a UDP server on the first free port from a base
// (on loopback, unless QM_OSC_ADDRESS names another address of the machine),
// its own thread that waits on the socket and a wake-up pipe and lets liblo
// hand each message to a handler, and everything the engine sends back
// (answers, errors, binding listings, configuration announcements, control
// updates to subscribers).
//
// Threads
// - OSC thread: the handlers. They only queue work for the engine (a real-time
//   event, or a request for the engine thread) and never send; "/quit" calls
//   the engine's quit directly.
// - Engine thread: every answer and update. The host's thread may send the
//   configuration announcement too (a loop added there, a session restored
//   there); one lock serialises all senders over the address cache and the
//   subscriber lists.
// Every method, for every loop index a loop can have (and -1, all loops), is
// registered before the OSC thread starts; none is added or removed later.
#include <lo/lo.h>

#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <kvo/sigcompat.h>

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
    // is no OSC message or bundle. For tests and fuzzing, while nothing is
    // being received.
    int dispatch_data(const void* data, size_t size);

    // The handlers' entry, public for liblo's C callback only.
    struct CommandInfo;
    struct MidiBindCommand;
    int handle_message(const CommandInfo& info, lo_arg** argv, int argc, lo_message msg);
    int handle_midi_binding(const MidiBindCommand& info, lo_arg** argv, int argc);

private:
    // A reply address, shared by the cache and the subscriptions that send to
    // it: the cache may drop it while subscriptions still use it.
    struct ReplyAddress {
        lo_address addr;
        std::string url;
        std::string client;  // "HOST:PORT"
        ~ReplyAddress();
    };
    typedef std::shared_ptr<ReplyAddress> AddressRef;
    struct Subscriber {
        AddressRef to;
        std::string path;
        bool sent;   // polled subscriptions: last holds what this one was sent
        float last;
    };
    typedef std::vector<Subscriber> SubscriberList;
    // (loop index, or -1 all loops, or -2 the engine; control name)
    typedef std::pair<int, std::string> InstanceKey;
    typedef std::map<InstanceKey, SubscriberList> RegistrationMap;

    // The address of a reply URL, cached; null for an empty or unusable URL
    // (only "osc.udp://HOST:PORT/" URLs are answered). With _reply_lock held.
    AddressRef find_or_cache_addr(const std::string& url);

    void register_methods();
    void add_method(const char* path, const char* types, int method, int kind, int instance, Event::type_t type);
    void add_loop_methods(int index);
    bool init_osc_thread();
    void osc_receiver();
    void poke_osc_thread();
    void terminate_osc_thread();

    bool push(EventNonRT* ev);
    int sender_port(lo_message msg) const;

    // With _reply_lock held.
    void send_pingack_locked(const std::string& url, const std::string& path);
    void send_all_config_locked();
    void send_registered_updates_locked(const std::string& ctrl, float val, int instance, int source);
    bool send_message(lo_address addr, const std::string& path, lo_message msg, bool report);
    bool send_list(SubscriberList& list, const std::string& ctrl, float val, int instance, int source);
    bool send_isf(lo_address addr, const std::string& path, int instance, const std::string& name, float val,
                  bool report);
    bool send_ss(lo_address addr, const std::string& path, const std::string& a, const std::string& b,
                 bool report);
    void report_send_error(lo_address addr) const;
    void report_binding_error(lo_address addr) const;
    void update_registration(RegistrationMap& map, ConfigUpdateEvent& ev, bool add);
    // The bound a new subscription of to on list would pass ("per control",
    // "per client", "in all") and its size; null when there is none.
    const char* subscription_refusal(const SubscriberList& list, const ReplyAddress& to, size_t& bound) const;
    void report_refusal(const ReplyAddress& to, const char* why, size_t bound);

    Engine* _engine;
    std::thread _osc_thread;
    int _request_pipe[2];
    lo_server _osc_server;
    std::string _server_url;  // names the bound address; empty without a server
    int _port;
    bool _ok;
    std::atomic<bool> _shutdown;
    CommandMap* _cmd_map;

    // The records liblo hands back to the handlers; freed with the server.
    std::vector<std::unique_ptr<CommandInfo>> _command_infos;
    std::vector<std::unique_ptr<MidiBindCommand>> _midi_commands;

    // Serialises everything that sends (engine thread, host's thread).
    Kvo::NonBlockingLock _reply_lock;
    std::map<std::string, AddressRef> _retaddr_map;
    RegistrationMap _registration_map;       // every change
    RegistrationMap _auto_registration_map;  // polled every 100 ms
    bool _refusal_reported = false;
    std::chrono::steady_clock::time_point _last_refusal_report;
    unsigned long _unreported_refusals = 0;
    std::list<std::pair<std::string, std::string>> _config_registrations;
};

} // namespace Quillomat
