#include "control_osc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <system_error>

#include "command_map.h"
#include "control_osc_address.h"
#include "engine.h"

namespace Quillomat {

namespace {

// What a handler does with a message. Methods that differ only in the kind
// of request they make carry that kind in their record.
enum Method {
    MQuit,
    MPing,
    MLoopAdd,
    MSession,             // kind: SessionEvent::Type
    MLoopDel,
    MConfigRegistration,  // kind: RegisterConfigEvent::Type
    MGlobalSet,
    MGlobalGet,
    MUpdateRegistration,  // kind: ConfigUpdateEvent::Type
    MMidiSync,            // kind: the sync event's Event::control_t
    MLoopCommand,
    MControlSet,
    MLoopGet,
    MLoopLoad,
    MLoopSave
};

// A longer string argument is no name, path or URL we could use: the message
// is dropped. (A datagram may carry up to 64 KiB.)
const size_t kMaxStringArg = 4096;

// Messages taken from the socket per wake-up before the shutdown flag is
// looked at again.
const int kMaxMessagesPerWake = 256;

// Senders and reply addresses remembered as heard from; past this, those
// heard from longest ago are forgotten (as if never heard from).
const size_t kMaxHeard = 8192;

void silent_error(int num, const char* msg, const char* where)
{
    (void)num;
    (void)msg;
    (void)where;
}

// liblo packs arguments at 4-byte boundaries, below the alignment of its
// argument union: read them as bytes.
const char* arg_chars(lo_arg* a)
{
    return reinterpret_cast<const char*>(a);
}

std::string str(lo_arg* a)
{
    return std::string(arg_chars(a));
}

int32_t arg_int(lo_arg* a)
{
    int32_t v;
    std::memcpy(&v, a, sizeof v);
    return v;
}

float arg_float(lo_arg* a)
{
    float v;
    std::memcpy(&v, a, sizeof v);
    return v;
}

// liblo binds every interface. Its server is made on a passing port and our
// socket takes over that descriptor, so that the server holds our socket and
// names its URL; the passing socket is closed by the takeover.
lo_server server_on_socket(int sock)
{
    lo_server server = lo_server_new("0", silent_error);
    const int fd = server ? lo_server_get_socket_fd(server) : -1;
    if (fd < 0 || dup3(sock, fd, O_CLOEXEC) < 0) {
        if (server) {
            lo_server_free(server);
        }
        server = nullptr;
    }
    close(sock);
    return server;
}

// What clients are to answer to: the bound address, or on every interface
// liblo's form with the machine's name.
std::string server_url(in_addr address, int port, lo_server server)
{
    const std::string tail = ":" + std::to_string(port) + "/";
    if (address.s_addr != htonl(INADDR_ANY)) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &address, text, sizeof(text));
        return "osc.udp://" + std::string(text) + tail;
    }
    std::string url;
    if (char* named = lo_server_get_url(server)) {
        url = named;
        free(named);
    }
    // liblo names the passing port.
    const size_t colon = url.rfind(':');
    return colon == std::string::npos ? url : url.substr(0, colon) + tail;
}

LoopFileEvent::FileFormat file_format(const std::string& s)
{
    if (s == "pcm16") {
        return LoopFileEvent::FormatPCM16;
    }
    if (s == "pcm24") {
        return LoopFileEvent::FormatPCM24;
    }
    if (s == "pcm32") {
        return LoopFileEvent::FormatPCM32;
    }
    return LoopFileEvent::FormatFloat;
}

} // namespace

struct ControlOSC::CommandInfo {
    ControlOSC* osc;
    int instance;  // loop index, -1 all loops, -2 the engine
    Event::type_t type;
    int method;
    int kind;
    const char* types;  // what the arguments are (null: any, not read)
};

struct ControlOSC::MidiBindCommand {
    enum Command {
        GetAllBinding = 1,
        RemoveBinding = 2,
        AddBinding = 3,
        ClearAllBindings = 4,
        LoadBindings = 5,
        SaveBindings = 6,
        LearnBinding = 7,
        GetNextMidi = 8,
        CancelLearn = 9,
        CancelGetNext = 10
    };

    ControlOSC* osc;
    Command command;
    const char* types;
};

namespace {

int osc_method(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg, void* user_data)
{
    (void)path;
    (void)types;
    auto* info = static_cast<ControlOSC::CommandInfo*>(user_data);
    return info->osc->handle_message(*info, argv, argc, msg);
}

int osc_midi_binding(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg,
                     void* user_data)
{
    (void)path;
    (void)types;
    auto* info = static_cast<ControlOSC::MidiBindCommand*>(user_data);
    return info->osc->handle_midi_binding(*info, argv, argc, msg);
}

// Every string argument fits; the types are the registered ones (liblo has
// checked or converted them).
bool strings_fit(const char* types, lo_arg** argv, int argc)
{
    if (!types) {
        return true;
    }
    for (int i = 0; i < argc && types[i]; ++i) {
        if ((types[i] == 's' || types[i] == 'S') && std::strlen(arg_chars(argv[i])) > kMaxStringArg) {
            return false;
        }
    }
    return true;
}

} // namespace

ControlOSC::ControlOSC(Engine* engine, unsigned int port)
    : _engine(engine),
      _request_pipe{-1, -1},
      _osc_server(nullptr),
      _socket(-1),
      _port((int)port),
      _ok(false),
      _shutdown(false),
      _cmd_map(&CommandMap::instance()),
      _resolver(new NameResolver([this](const std::string& host, NameResolver::State state, in_addr address) {
          on_name_resolved(host, state, address);
      }))
{
    const in_addr where = osc_listen_address(true);
    for (int i = 0; i < PortTries && port + (unsigned int)i <= 65535u; ++i) {
        const int sock = osc_bind_udp(where, (int)port + i);
        if (sock >= 0) {
            _osc_server = server_on_socket(sock);
            _port = (int)port + i;
            break;
        }
    }

    if (_engine) {
        _engine->LoopAdded.connect(sigc::mem_fun(*this, &ControlOSC::on_loop_added));
        _engine->LoopRemoved.connect(sigc::mem_fun(*this, &ControlOSC::on_loop_removed));
    }

    if (_osc_server) {
        _socket = lo_server_get_socket_fd(_osc_server);
        _server_url = server_url(where, _port, _osc_server);
        register_methods();
    }
    on_loop_added(-1, true);
    _ok = init_osc_thread();
}

ControlOSC::~ControlOSC()
{
    // What it delivers is sent through the server and looks names up again.
    _resolver->stop();
    terminate_osc_thread();
    // The thread is gone: nothing dispatches or sends any more.
    if (_osc_server) {
        lo_server_free(_osc_server);
        _osc_server = nullptr;
    }
    for (int& fd : _request_pipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

void ControlOSC::add_method(const char* path, const char* types, int method, int kind, int instance,
                            Event::type_t type)
{
    _command_infos.emplace_back(new CommandInfo{this, instance, type, method, kind, types});
    add_osc_method(path, types, osc_method, _command_infos.back().get());
}

void ControlOSC::register_methods()
{
    static const struct {
        const char* path;
        const char* types;
        int method;
        int kind;
    } global[] = {
        {"/quit", "", MQuit, 0},
        {"/ping", "ss", MPing, 0},
        {"/loop_add", "if", MLoopAdd, 0},
        {"/loop_add", "ifi", MLoopAdd, 0},
        {"/load_session", "sss", MSession, SessionEvent::Load},
        {"/save_session", "sss", MSession, SessionEvent::Save},
        {"/loop_del", "i", MLoopDel, 0},
        {"/register", "ss", MConfigRegistration, RegisterConfigEvent::Register},
        {"/unregister", "ss", MConfigRegistration, RegisterConfigEvent::Unregister},
        {"/set", "sf", MGlobalSet, 0},
        {"/get", "sss", MGlobalGet, 0},
        {"/register_update", "sss", MUpdateRegistration, ConfigUpdateEvent::Register},
        {"/unregister_update", "sss", MUpdateRegistration, ConfigUpdateEvent::Unregister},
        {"/register_auto_update", "siss", MUpdateRegistration, ConfigUpdateEvent::RegisterAuto},
        {"/unregister_auto_update", "sss", MUpdateRegistration, ConfigUpdateEvent::UnregisterAuto},
    };
    for (const auto& m : global) {
        add_method(m.path, m.types, m.method, m.kind, -2, Event::type_control_request);
    }
    add_method("/qm/-2/set", "sf", MControlSet, 0, -2, Event::type_global_control_change);

    static const struct {
        const char* path;
        const char* types;
        MidiBindCommand::Command command;
    } midi[] = {
        {"/get_all_midi_bindings", "ss", MidiBindCommand::GetAllBinding},
        {"/remove_midi_binding", "ss", MidiBindCommand::RemoveBinding},
        {"/add_midi_binding", "ss", MidiBindCommand::AddBinding},
        {"/clear_midi_bindings", "", MidiBindCommand::ClearAllBindings},
        {"/load_midi_bindings", "ss", MidiBindCommand::LoadBindings},
        {"/save_midi_bindings", "ss", MidiBindCommand::SaveBindings},
        {"/learn_midi_binding", "ssss", MidiBindCommand::LearnBinding},
        {"/get_next_midi_event", "ss", MidiBindCommand::GetNextMidi},
        {"/cancel_midi_learn", "ss", MidiBindCommand::CancelLearn},
        {"/cancel_get_next_midi", "ss", MidiBindCommand::CancelGetNext},
    };
    for (const auto& m : midi) {
        _midi_commands.emplace_back(new MidiBindCommand{this, m.command, m.types});
        add_osc_method(m.path, m.types, osc_midi_binding, _midi_commands.back().get());
    }

    add_method("/qm/midi_start", nullptr, MMidiSync, Event::MidiStart, -2, Event::type_sync);
    add_method("/qm/midi_stop", nullptr, MMidiSync, Event::MidiStop, -2, Event::type_sync);
    add_method("/qm/midi_tick", nullptr, MMidiSync, Event::MidiTick, -2, Event::type_sync);

    // Every index a loop can ever have, so that any loop is reachable however
    // loops come and go, and nothing is registered while the thread dispatches.
    for (int index = -1; index <= MaxLoopIndex; ++index) {
        add_loop_methods(index);
    }
}

void ControlOSC::add_loop_methods(int index)
{
    static const struct {
        const char* name;
        const char* types;
        Event::type_t type;
        int method;
        int kind;
    } loop[] = {
        {"down", "s", Event::type_cmd_down, MLoopCommand, 0},
        {"up", "s", Event::type_cmd_up, MLoopCommand, 0},
        {"hit", "s", Event::type_cmd_hit, MLoopCommand, 0},
        {"upforce", "s", Event::type_cmd_upforce, MLoopCommand, 0},
        {"set", "sf", Event::type_control_change, MControlSet, 0},
        {"get", "sss", Event::type_control_request, MLoopGet, 0},
        {"load_loop", "sss", Event::type_control_request, MLoopLoad, 0},
        {"save_loop", "sssss", Event::type_control_request, MLoopSave, 0},
        {"register_update", "sss", Event::type_control_request, MUpdateRegistration, ConfigUpdateEvent::Register},
        {"unregister_update", "sss", Event::type_control_request, MUpdateRegistration,
         ConfigUpdateEvent::Unregister},
        {"register_auto_update", "siss", Event::type_control_request, MUpdateRegistration,
         ConfigUpdateEvent::RegisterAuto},
        {"unregister_auto_update", "sss", Event::type_control_request, MUpdateRegistration,
         ConfigUpdateEvent::UnregisterAuto},
    };
    char path[255];
    for (const auto& m : loop) {
        snprintf(path, sizeof(path), "/qm/%d/%s", index, m.name);
        add_method(path, m.types, m.method, m.kind, index, m.type);
    }
}

void ControlOSC::on_loop_added(int index, bool send_config)
{
    (void)index;  // every index has its methods from the start
    if (send_config) {
        send_all_config();
    }
}

void ControlOSC::on_loop_removed()
{
    send_all_config();
}

// ---------------------------------------------------------------------------
// Handlers (OSC thread)

bool ControlOSC::push(EventNonRT* ev)
{
    // The engine owns the request from here on, also when it refuses it.
    return _engine && _engine->push_nonrt_event(ev);
}

int ControlOSC::sender_port() const
{
    return _from_known ? ntohs(_from.sin_port) : -1;
}

uint64_t ControlOSC::heard_key(in_addr address, int port)
{
    return (uint64_t)1 << 63 | (uint64_t)ntohl(address.s_addr) << 16 | (uint64_t)(port & 0xffff);
}

uint64_t ControlOSC::heard_key(const std::string& host, int port)
{
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return heard_key(address, port);
    }
    if (strcasecmp(host.c_str(), "localhost") == 0) {
        return heard_key(in_addr{htonl(INADDR_LOOPBACK)}, port);
    }
    // Names whose hashes collide count as heard from together.
    return std::hash<std::string>()(host + ":" + std::to_string(port)) & ~((uint64_t)1 << 63);
}

void ControlOSC::note_heard(lo_message msg)
{
    if (!msg) {
        return;
    }
    uint64_t heard[8];
    size_t count = 0;
    if (_from_known) {
        heard[count++] = heard_key(_from.sin_addr, ntohs(_from.sin_port));
    }
    const char* types = lo_message_get_types(msg);
    lo_arg** argv = lo_message_get_argv(msg);
    const int argc = lo_message_get_argc(msg);
    std::string host;
    int port = 0;
    for (int i = 0; types && argv && i < argc && types[i] && count < 8; ++i) {
        if ((types[i] == 's' || types[i] == 'S') && split_udp_url(arg_chars(argv[i]), host, port)) {
            heard[count++] = heard_key(host, port);
        }
    }
    std::lock_guard<std::mutex> l(_heard_lock);
    for (size_t i = 0; i < count; ++i) {
        _heard[heard[i]] = ++_heard_count;
    }
    if (_heard.size() > kMaxHeard) {
        const uint64_t forget = _heard_count - kMaxHeard / 2;
        for (auto it = _heard.begin(); it != _heard.end();) {
            it = it->second <= forget ? _heard.erase(it) : std::next(it);
        }
    }
}

void ControlOSC::set_name_lookup(NameResolver::Lookup lookup)
{
    _resolver->set_lookup(std::move(lookup));
}

int ControlOSC::handle_message(const CommandInfo& info, lo_arg** argv, int argc, lo_message msg)
{
    if (!_engine || !strings_fit(info.types, argv, argc)) {
        return 0;
    }
    note_heard(msg);
    const int8_t instance = (int8_t)info.instance;
    switch (info.method) {
    case MQuit:
        _engine->quit(false);
        break;
    case MPing:
        push(new PingEvent(str(argv[0]), str(argv[1])));
        break;
    case MLoopAdd:
        push(new ConfigLoopEvent(ConfigLoopEvent::Add, arg_int(argv[0]), arg_float(argv[1]), 0,
                                 argc > 2 ? arg_int(argv[2]) : 1));
        break;
    case MSession:
        push(new SessionEvent((SessionEvent::Type)info.kind, str(argv[0]), str(argv[1]), str(argv[2])));
        break;
    case MLoopDel:
        push(new ConfigLoopEvent(ConfigLoopEvent::Remove, 0, 0.0f, arg_int(argv[0]), 1));
        break;
    case MConfigRegistration:
        push(new RegisterConfigEvent((RegisterConfigEvent::Type)info.kind, str(argv[0]), str(argv[1])));
        break;
    case MGlobalSet:
        // Told to the other clients once the engine has taken the value.
        push(new GlobalSetEvent(str(argv[0]), arg_float(argv[1]), sender_port()));
        break;
    case MGlobalGet:
        push(new GlobalGetEvent(str(argv[0]), str(argv[1]), str(argv[2])));
        break;
    case MUpdateRegistration:
        // The address comes last. The interval of a polled subscription
        // before it is not read: updates are polled every 100 ms.
        push(new ConfigUpdateEvent((ConfigUpdateEvent::Type)info.kind, instance, _cmd_map->to_control_t(str(argv[0])),
                                   str(argv[argc - 2]), str(argv[argc - 1])));
        break;
    case MControlSet:
        // A NaN or infinity never reaches a gain or a loop.
        if (std::isfinite(arg_float(argv[1]))) {
            _engine->push_control_event(info.type, _cmd_map->to_control_t(str(argv[0])), arg_float(argv[1]),
                                        instance, sender_port());
        }
        break;
    case MMidiSync:
        _engine->push_sync_event((Event::control_t)info.kind, -1);
        break;
    case MLoopCommand:
        _engine->push_command_event(info.type, _cmd_map->to_command_t(str(argv[0])), instance);
        break;
    case MLoopGet:
        push(new GetParamEvent(instance, _cmd_map->to_control_t(str(argv[0])), str(argv[1]), str(argv[2])));
        break;
    case MLoopLoad:
        push(new LoopFileEvent(LoopFileEvent::Load, info.instance, str(argv[0]), str(argv[1]), str(argv[2])));
        break;
    case MLoopSave:
        push(new LoopFileEvent(LoopFileEvent::Save, info.instance, str(argv[0]), str(argv[3]), str(argv[4]),
                               file_format(str(argv[1])),
                               str(argv[2]) == "big" ? LoopFileEvent::BigEndian : LoopFileEvent::LittleEndian));
        break;
    default:
        break;
    }
    return 0;
}

int ControlOSC::handle_midi_binding(const MidiBindCommand& info, lo_arg** argv, int argc, lo_message msg)
{
    if (!_engine || !strings_fit(info.types, argv, argc)) {
        return 0;
    }
    note_heard(msg);
    const MidiBindingEvent::Type type = (MidiBindingEvent::Type)((int)info.command - 1);
    const std::string none;
    switch (info.command) {
    case MidiBindCommand::GetAllBinding:
    case MidiBindCommand::GetNextMidi:
    case MidiBindCommand::CancelLearn:
    case MidiBindCommand::CancelGetNext:
        push(new MidiBindingEvent(type, none, none, str(argv[0]), str(argv[1])));
        break;
    case MidiBindCommand::RemoveBinding:
    case MidiBindCommand::AddBinding:
    case MidiBindCommand::LoadBindings:
    case MidiBindCommand::SaveBindings:
        push(new MidiBindingEvent(type, str(argv[0]), str(argv[1]), none, none));
        break;
    case MidiBindCommand::ClearAllBindings:
        push(new MidiBindingEvent(type, none, none, none, none));
        break;
    case MidiBindCommand::LearnBinding:
        push(new MidiBindingEvent(type, str(argv[0]), str(argv[1]), str(argv[2]), str(argv[3])));
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The OSC thread

bool ControlOSC::init_osc_thread()
{
    if (pipe2(_request_pipe, O_CLOEXEC) != 0) {
        std::cerr << "Cannot create osc request signal pipe" << strerror(errno) << std::endl;
        _request_pipe[0] = _request_pipe[1] = -1;
        return false;
    }
    if (fcntl(_request_pipe[0], F_SETFL, O_NONBLOCK) != 0) {
        std::cerr << "osc: cannot set O_NONBLOCK on signal read pipe " << strerror(errno) << std::endl;
        return false;
    }
    if (fcntl(_request_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
        std::cerr << "osc: cannot set O_NONBLOCK on signal write pipe " << strerror(errno) << std::endl;
        return false;
    }
    try {
        _osc_thread = std::thread(&ControlOSC::osc_receiver, this);
    } catch (const std::system_error& e) {
        std::cerr << "cannot start the OSC thread: " << e.what() << std::endl;
        return false;
    }
    return true;
}

void ControlOSC::osc_receiver()
{
    struct pollfd pfd[2];
    nfds_t count = 1;
    pfd[0].fd = _request_pipe[0];
    const int sock = _socket;
    if (sock >= 0) {
        pfd[1].fd = sock;
        count = 2;
    }

    while (!_shutdown.load(std::memory_order_acquire)) {
        for (nfds_t i = 0; i < count; ++i) {
            pfd[i].events = POLLIN | POLLPRI | POLLERR | POLLHUP;
            pfd[i].revents = 0;
        }
        if (poll(pfd, count, -1) < 0) {
            if (errno == EINTR) {
                std::cerr << "EINTR hit " << std::endl;
                continue;
            }
            std::cerr << "OSC thread poll failed: " << strerror(errno) << std::endl;
            return;
        }
        if (_shutdown.load(std::memory_order_acquire)) {
            return;
        }
        if (pfd[0].revents & ~POLLIN) {
            std::cerr << "OSC: error polling extra port" << std::endl;
            return;
        }
        if (count < 2) {
            continue;
        }
        if (pfd[1].revents & POLLERR) {
            // A pending socket error (a refused datagram) would wake every poll.
            int err = 0;
            socklen_t len = sizeof(err);
            getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len);
        }
        if (pfd[1].revents & POLLIN) {
            for (int n = 0; n < kMaxMessagesPerWake && !_shutdown.load(std::memory_order_acquire); ++n) {
                if (!receive_datagram()) {
                    break;
                }
            }
        }
    }
}

void ControlOSC::poke_osc_thread()
{
    const char c = 0;
    if (_request_pipe[1] < 0 || write(_request_pipe[1], &c, 1) != 1) {
        std::cerr << "cannot send signal to osc thread! " << strerror(errno) << std::endl;
    }
}

void ControlOSC::terminate_osc_thread()
{
    _shutdown.store(true, std::memory_order_release);
    // Only a thread that was started is woken and joined; one that ended by
    // itself is joined all the same (the pipe is still ours).
    if (_osc_thread.joinable()) {
        poke_osc_thread();
        _osc_thread.join();
    }
}

} // namespace Quillomat
