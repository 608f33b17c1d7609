#pragma once
// The host's command line.
#include <cstdint>
#include <string>

namespace qmhost {

struct HostOptions {
    std::string plugin;                    // empty: default_plugin_path()
    std::string entry = "QuillomatAUEntry";
    std::string input;                     // empty: silence
    std::string output;                    // empty: none
    std::string midi;
    std::string midi_pipe;                 // live MIDI from this named pipe
    std::string restore_state;
    std::string save_state;
    uint32_t channels = 0;                 // 0: the input file's, else 2
    double rate = 0;                       // 0: the input file's, else 48000
    uint32_t block = 512;
    uint32_t max_frames = 0;               // 0: the block size
    double duration = -1;                  // seconds; negative: not set
    int64_t frames = -1;                   // negative: not set
    bool fast = false;
    double tempo = 120;                    // 0: no tempo or musical-time callbacks
    bool editor = false;                   // open the editor view
    std::string editor_entry = "QuillomatAUViewEntry";
    bool reload_on_hangup = false;         // SIGHUP unloads and reloads the plug-in
    bool help = false;
};

// False with a one-line reason for anything it cannot use.
bool parse_options(int argc, char** argv, HostOptions& options, std::string& error);
std::string usage_text();
// The plug-in built in the same build folder as this program.
std::string default_plugin_path();

} // namespace qmhost
