#include "options.h"

#include <getopt.h>
#include <limits.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

namespace qmhost {
namespace {

const uint32_t kMaxBlock = 65536;
const uint32_t kMaxChannels = 256;

enum { kMidi = 1000, kMidiPipe, kRestoreState, kSaveState, kEditor, kEditorEntry, kReloadOnHangup };

const option kLongOptions[] = {
    {"plugin", required_argument, nullptr, 'p'},
    {"entry", required_argument, nullptr, 'e'},
    {"input", required_argument, nullptr, 'i'},
    {"output", required_argument, nullptr, 'o'},
    {"channels", required_argument, nullptr, 'c'},
    {"rate", required_argument, nullptr, 'r'},
    {"block", required_argument, nullptr, 'b'},
    {"max-frames", required_argument, nullptr, 'm'},
    {"duration", required_argument, nullptr, 'd'},
    {"frames", required_argument, nullptr, 'n'},
    {"fast", no_argument, nullptr, 'f'},
    {"tempo", required_argument, nullptr, 't'},
    {"midi", required_argument, nullptr, kMidi},
    {"midi-pipe", required_argument, nullptr, kMidiPipe},
    {"restore-state", required_argument, nullptr, kRestoreState},
    {"save-state", required_argument, nullptr, kSaveState},
    {"editor", no_argument, nullptr, kEditor},
    {"editor-entry", required_argument, nullptr, kEditorEntry},
    {"reload-on-hangup", no_argument, nullptr, kReloadOnHangup},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

std::string name_of(int c)
{
    for (const option* o = kLongOptions; o->name; ++o)
        if (o->val == c) return std::string("--") + o->name;
    return "?";
}

template <class T>
bool number(const char* text, T& value)
{
    const char* end = text + std::strlen(text);
    auto r = std::from_chars(text, end, value);
    return r.ec == std::errc() && r.ptr == end;
}

bool count(const char* text, uint32_t& value, uint32_t lo, uint32_t hi)
{
    return number(text, value) && value >= lo && value <= hi;
}

} // namespace

std::string usage_text()
{
    return R"(Usage: qmhost [options]

Loads an Audio Unit effect from a shared object, opens it through its entry
point, initialises it and renders audio through its bus 0: from a WAV file or
silence, into a WAV file or nowhere. It renders in real time unless --fast is
given. Without a length and without an input file it runs until stopped with
Ctrl-C (SIGINT), SIGTERM or SIGHUP (its terminal closed); a stopped run still
closes the output file and writes the state file. After initialising it prints
the plug-in's parameter 0 (the OSC port) as "OSC port: N"; when that is 0 (no
port from 10051 to 10070 was free), a line on standard error says so.

  -p, --plugin PATH         plug-in shared object (default: mac/QuillomatAU/
                            libQuillomatAU.so in this program's build folder)
  -e, --entry NAME          the plug-in's entry point (default: QuillomatAUEntry)
  -i, --input FILE          audio fed to input bus 0 (any format libsndfile
                            reads; default: silence). Other input buses get silence.
  -o, --output FILE         write output bus 0 to FILE (WAV, 32-bit float)
  -c, --channels N          channels of every bus (default: the input file's, else 2)
  -r, --rate HZ             sample rate (default: the input file's, else 48000)
  -b, --block N             frames per render call (default: 512)
  -m, --max-frames N        maximum frames per render call the plug-in is told
                            (default: the block size; at least the block size)
  -d, --duration SECONDS    render this much audio, padding the input with silence
  -n, --frames N            render this many frames, padding the input with silence
  -f, --fast                render as fast as possible instead of in real time
  -t, --tempo BPM           tempo the host reports, with its beat and 4/4 bar
                            position (default: 120; 0: no tempo callbacks)
      --midi FILE           send the timed MIDI messages in FILE (below)
      --midi-pipe PATH      send the MIDI bytes written into the named pipe PATH
                            (make it with mkfifo) as they arrive: each message
                            reaches the plug-in before the next render call,
                            at the offset matching its arrival. Writers may
                            come and go; system exclusive messages are dropped.
      --restore-state FILE  restore the plug-in's state from FILE before initialising
      --save-state FILE     save the plug-in's state to FILE at the end of the run
      --editor              open the plug-in's editor view (headless) once it is
                            initialised, print its controls as "editor: ..."
                            lines, and close it at the end of the run. The
                            Quillomat view starts the GUI application then, and
                            ends it when closed.
      --editor-entry NAME   the editor view's entry point in the plug-in
                            (default: QuillomatAUViewEntry)
      --reload-on-hangup    for tests of unloading: a SIGHUP, instead of ending
                            the run, closes the unit and unloads the plug-in
                            for good (it is loaded so that it can be),
                            printing "plug-in unloaded"; nothing is rendered
                            until the next SIGHUP loads and opens it again,
                            printing the "OSC port: N" line again
  -h, --help                show this text

Without --duration or --frames the run ends with the input file.

MIDI file: one message a line, "<time> <status> [<data1> [<data2>]]".
<time> is a frame count (48000) or seconds ending in s (1.5s), counted from
the start of the run; the bytes are hexadecimal (B0 07 7F, or 0xB0 0x07 0x7F).
A message reaches the plug-in before the render call that holds its frame,
with its offset in that call. # starts a comment; blank lines are skipped.
System exclusive messages are not supported. Example:
    0      B0 07 64     # volume 100 at the start
    0.5s   90 3C 7F     # note on half a second in
    24000  F8           # MIDI clock

State files are XML property lists, as Audio Unit preset files are
(dict, key, data in base64, string, integer, real, array).

Input, output, MIDI and state files are regular files: a named pipe, a
directory or a device is refused. The output and the state file are saved
as loops and sessions are: an existing file is replaced only by a complete
one, or written in place where it must keep its links and owner.

Exit status: 0 when the run completed or was stopped, 1 when a file or the
plug-in failed, 2 for a bad command line.
)";
}

std::string default_plugin_path()
{
    // <build>/tools/qmhost/qmhost -> <build>/mac/QuillomatAU/libQuillomatAU.so
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = ".";
    if (n > 0) {
        std::string exe(self, (size_t)n);
        size_t slash = exe.rfind('/');
        if (slash != std::string::npos) dir = exe.substr(0, slash);
    }
    return dir + "/../../mac/QuillomatAU/libQuillomatAU.so";
}

bool parse_options(int argc, char** argv, HostOptions& o, std::string& error)
{
    opterr = 0;
    optind = 0;  // parse from the start, also when called again
    int c;
    while ((c = getopt_long(argc, argv, ":p:e:i:o:c:r:b:m:d:n:ft:h", kLongOptions, nullptr)) != -1) {
        const char* arg = optarg;
        auto bad = [&](const std::string& what) {
            error = "bad value \"" + std::string(arg ? arg : "") + "\" for " + name_of(c) + ": " + what;
            return false;
        };
        switch (c) {
        case 'p': o.plugin = arg; break;
        case 'e': o.entry = arg; break;
        case 'i': o.input = arg; break;
        case 'o': o.output = arg; break;
        case kMidi: o.midi = arg; break;
        case kMidiPipe: o.midi_pipe = arg; break;
        case kRestoreState: o.restore_state = arg; break;
        case kSaveState: o.save_state = arg; break;
        case kEditor: o.editor = true; break;
        case kEditorEntry: o.editor_entry = arg; break;
        case kReloadOnHangup: o.reload_on_hangup = true; break;
        case 'f': o.fast = true; break;
        case 'h': o.help = true; break;
        case 'c':
            if (!count(arg, o.channels, 1, kMaxChannels))
                return bad("a channel count from 1 to " + std::to_string(kMaxChannels));
            break;
        case 'r':
            if (!number(arg, o.rate) || !(o.rate >= 1) || o.rate > 1e7) return bad("a sample rate in Hz");
            break;
        case 'b':
        case 'm':
            if (!count(arg, c == 'b' ? o.block : o.max_frames, 1, kMaxBlock))
                return bad("a frame count from 1 to " + std::to_string(kMaxBlock));
            break;
        case 'd':
            if (!number(arg, o.duration) || !(o.duration >= 0) || o.duration > 1e7) return bad("seconds, 0 or more");
            break;
        case 'n':
            if (!number(arg, o.frames) || o.frames < 0) return bad("a frame count, 0 or more");
            break;
        case 't':
            if (!number(arg, o.tempo) || !(o.tempo >= 0) || o.tempo > 10000) return bad("beats per minute, 0 or more");
            break;
        case ':':
            error = std::string("option ") + argv[optind - 1] + " needs a value";
            return false;
        default:
            error = std::string("unknown option ") + argv[optind - 1] + " (see --help)";
            return false;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument \"") + argv[optind] + "\" (see --help)";
        return false;
    }
    if (o.duration >= 0 && o.frames >= 0) {
        error = "give --duration or --frames, not both";
        return false;
    }
    if (o.reload_on_hangup && o.editor) {
        error = "--reload-on-hangup cannot reload an open editor";
        return false;
    }
    if (o.max_frames && o.max_frames < o.block) {
        error = "--max-frames must be at least the block size (" + std::to_string(o.block) + ")";
        return false;
    }
    return true;
}

} // namespace qmhost
