#pragma once
// Names of event types, commands and controls, tied to their enum values.
#include <list>
#include <map>
#include <string>

#include "event.h"

namespace Quillomat {

class CommandMap {
public:
    // The shared instance, made on first use and never deleted (threads that
    // outlive static destruction may still read it).
    static CommandMap& instance();

    virtual ~CommandMap() {}

    CommandMap(const CommandMap&) = delete;
    CommandMap& operator=(const CommandMap&) = delete;

    // A missing name gives UNKNOWN.
    Event::command_t to_command_t(const std::string& name) const;
    // A missing command gives "unknown".
    std::string to_command_str(Event::command_t cmd) const;

    // Looks in all four control groups; a missing name gives Unknown.
    Event::control_t to_control_t(const std::string& name) const;
    // A control without a name gives "unknown".
    std::string to_control_str(Event::control_t ctrl) const;

    // A missing name gives type_cmd_hit, so a bare command name means a hit.
    Event::type_t to_type_t(const std::string& name) const;

    bool is_command(const std::string& name) const;

    // Append every name, sorted, without clearing the list.
    void get_commands(std::list<std::string>& out) const;
    void get_controls(std::list<std::string>& out) const;

private:
    CommandMap();

    typedef std::map<std::string, Event::command_t> StringCommandMap;
    typedef std::map<Event::command_t, std::string> CommandStringMap;
    typedef std::map<std::string, Event::control_t> StringControlMap;
    typedef std::map<Event::control_t, std::string> ControlStringMap;
    typedef std::map<std::string, Event::type_t> StringTypeMap;
    typedef std::map<Event::type_t, std::string> TypeStringMap;

    StringCommandMap _str_cmd_map;
    CommandStringMap _cmd_str_map;
    StringControlMap _str_ctrl_map;
    ControlStringMap _ctrl_str_map;
    StringTypeMap _str_type_map;
    TypeStringMap _type_str_map;
    StringControlMap _input_controls;
    StringControlMap _output_controls;
    StringControlMap _event_controls;
    StringControlMap _global_controls;
};

} // namespace Quillomat
