#pragma once
// The program-wide registry of open ports: by device, by tag and by number,
// with the current input and output port. Meant for one thread.

#include <midi++/port.h>

#include <map>
#include <string>

namespace MIDI {

class Manager {
  public:
    typedef std::map<std::string, Port*> PortMap;
    // One device may carry a read-only and a write-only port at once.
    typedef std::multimap<std::string, Port*> DeviceMap;

    Manager();
    ~Manager();

    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    static Manager* instance();

    // The port for the request, shared with an open one on the same device
    // and mode, or null (a duplex conflict is reported on the error channel).
    Port* add_port(PortRequest& req);
    // Closes every port on the device: 0, or -1 when none is open there.
    int remove_port(const char* device);

    int set_input_port(const char* tag);
    int set_input_port(unsigned long number);
    int set_output_port(const char* tag);
    int set_output_port(unsigned long number);

    Port* input_port() const { return inputPort; }
    Port* output_port() const { return outputPort; }

    void set_input_channel(signed char c) { inputChannelNumber = c; }
    void set_output_channel(signed char c) { outputChannelNumber = c; }
    signed char input_channel() const { return inputChannelNumber; }
    signed char output_channel() const { return outputChannelNumber; }

    Port* port(const std::string& tag);
    Port* port(unsigned long number);

    size_t nports() const { return ports_by_device.size(); }
    const PortMap& get_midi_ports() const { return ports_by_tag; }

    // Calls fn for every port in device order; the first non-zero result
    // ends the walk and is returned.
    int foreach_port(int (*fn)(const Port&, unsigned long index, void* arg), void* arg);

    // device[:tag[:mode]], mode "r", "w" or anything else for duplex.
    static int parse_port_request(const std::string& spec, Port::Type kind);

  private:
    Port* inputPort;
    Port* outputPort;
    signed char inputChannelNumber;
    signed char outputChannelNumber;
    DeviceMap ports_by_device;
    PortMap ports_by_tag;

    static Manager* theManager;

    Port* register_port(Port* p);
};

} // namespace MIDI
