#pragma once
// An OSC client over loopback with liblo: sends from its own UDP port (so the
// engine sees that port as the sender) and collects whatever comes back.
// Used from one thread.
#include <lo/lo.h>

#include <string>
#include <vector>

namespace qmtest {

struct OscArg {
    char type;
    int i = 0;
    float f = 0.0f;
    std::string s;
};

struct OscMsg {
    std::string path;
    std::string types;
    std::vector<OscArg> args;
    int from_port = 0;  // the sender's UDP port

    int i(size_t k) const { return args.at(k).i; }
    float f(size_t k) const { return args.at(k).f; }
    const std::string& s(size_t k) const { return args.at(k).s; }
};

class OscClient {
public:
    // Talks to the engine at host (an IPv4 address of this machine) and asks
    // for answers there.
    explicit OscClient(int engine_port, const std::string& host = "127.0.0.1");
    ~OscClient();
    OscClient(const OscClient&) = delete;
    OscClient& operator=(const OscClient&) = delete;

    bool ok() const { return _server && _target; }
    int port() const { return _port; }
    // Where the engine is to answer: "osc.udp://HOST:PORT/".
    std::string url() const;

    // Arguments by C++ type: int -> 'i', float -> 'f', strings -> 's'.
    template <class... A>
    bool send(const std::string& path, A... args)
    {
        lo_message m = lo_message_new();
        add(m, args...);
        const bool sent = lo_send_message_from(_target, _server, path.c_str(), m) >= 0;
        lo_message_free(m);
        return sent;
    }
    // Any bytes as one datagram, from the client's port.
    bool send_raw(const void* data, size_t size);

    // The first message on path that arrives (or has arrived) within the
    // time; false when none.
    bool wait(const std::string& path, OscMsg& out, int timeout_ms = 3000);
    // Everything that arrives within the time (and whatever was waiting).
    std::vector<OscMsg> collect(int ms);
    // Sends "/ping" and waits for its answer: every request sent before has
    // then been executed by the engine thread.
    bool sync(int timeout_ms = 3000);

    void on_message(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg);

private:
    static void add(lo_message) {}
    template <class... A>
    static void add(lo_message m, int v, A... rest)
    {
        lo_message_add_int32(m, v);
        add(m, rest...);
    }
    template <class... A>
    static void add(lo_message m, float v, A... rest)
    {
        lo_message_add_float(m, v);
        add(m, rest...);
    }
    template <class... A>
    static void add(lo_message m, const char* v, A... rest)
    {
        lo_message_add_string(m, v);
        add(m, rest...);
    }
    template <class... A>
    static void add(lo_message m, const std::string& v, A... rest)
    {
        lo_message_add_string(m, v.c_str());
        add(m, rest...);
    }

    void receive(int ms);

    int _engine_port;
    std::string _host;
    lo_server _server = nullptr;
    lo_address _target = nullptr;
    int _port = 0;
    std::vector<OscMsg> _inbox;
};

} // namespace qmtest
