// Sessions: the globals and every loop's state as one XML document, in a file
// or a text.
#include <cmath>
#include <cstdio>
#include <iostream>

#include <kvo/xml++.h>

#include "control_osc.h"
#include "engine.h"
#include "looper.h"
#include "utils.h"
#include "version.h"

namespace Quillomat {

namespace {

// The whole text must be the number (blanks around it allowed).
bool parse_number(const std::string& text, double& out)
{
    double v = 0.0;
    int used = 0;
    if (sscanf(text.c_str(), " %lf %n", &v, &used) != 1 || (size_t)used != text.size()) {
        return false;
    }
    out = v;
    return true;
}

// The globals a document sets; each only when present.
struct SessionGlobals {
    bool has_tempo = false, has_eighths = false, has_sync = false;
    bool has_dry = false, has_wet = false, has_gain = false;
    double tempo = 0.0;
    float eighths = 0.0f, dry = 0.0f, wet = 0.0f, gain = 0.0f;
    int sync = 0;
};

void format_into(XMLNode* node, const char* name, const char* format, double value)
{
    char buf[120];
    snprintf(buf, sizeof(buf), format, value);
    node->add_property(name, buf);
}

} // namespace

bool Engine::save_session(const std::string& filename, std::string* text)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    LocaleGuard lg("POSIX");

    XMLNode* root = new XMLNode("QMSession");
    XMLTree tree;
    tree.set_root(root);
    root->add_property("version", quillomat_version);

    XMLNode* globals = root->add_child("Globals");
    format_into(globals, "tempo", "%.10g", _tempo.load(std::memory_order_relaxed));
    format_into(globals, "eighth_per_cycle", "%.10g", _eighth_cycle.load(std::memory_order_relaxed));
    format_into(globals, "common_dry", "%.10g", _curr_common_dry.load(std::memory_order_relaxed));
    format_into(globals, "common_wet", "%.10g", _curr_common_wet.load(std::memory_order_relaxed));
    format_into(globals, "input_gain", "%.10g", _curr_input_gain.load(std::memory_order_relaxed));
    char buf[120];
    snprintf(buf, sizeof(buf), "%d", _sync_source.load(std::memory_order_relaxed));
    globals->add_property("sync_source", buf);

    XMLNode* loopers = root->add_child("Loopers");
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        for (Looper* l : _instances) {
            // A loop on its way out is no longer part of the session.
            if (is_removing(l)) {
                continue;
            }
            if (XMLNode* state = l->get_state()) {
                loopers->add_child_nocopy(*state);
            }
        }
    }

    if (text) {
        *text = tree.write_buffer();
    }
    if (filename.empty()) {
        return true;
    }
    if (!tree.write(filename)) {
        fprintf(stderr, "Failed to store session as %s\n", filename.c_str());
        return false;
    }
    fprintf(stderr, "Stored session as %s\n", filename.c_str());
    return true;
}

bool Engine::load_session(const std::string& filename, const std::string* text)
{
    Kvo::LockMonitor sl(_session_lock, __LINE__, __FILE__);
    LocaleGuard lg("POSIX");
    const char* name = filename.c_str();

    if (!_driver) {
        fprintf(stderr, "Error loading session at %s!\n", name);
        return false;
    }
    XMLTree tree;
    if (!(text ? tree.read_buffer(*text) : tree.read(filename))) {
        fprintf(stderr, "Error loading session at %s!\n", name);
        return false;
    }
    XMLNode* root = tree.root();
    if (!root || root->name() != "QMSession") {
        fprintf(stderr, "Preset root node not found in %s!\n", name);
        return false;
    }

    // Everything is checked, and every loop built, before anything changes.
    SessionGlobals g;
    if (XMLNode* globals = root->find_named_node("Globals")) {
        struct Attr {
            const char* name;
            bool* has;
        } attrs[] = {{"tempo", &g.has_tempo},   {"eighth_per_cycle", &g.has_eighths}, {"common_dry", &g.has_dry},
                     {"common_wet", &g.has_wet}, {"input_gain", &g.has_gain},        {"sync_source", &g.has_sync}};
        double v[6] = {};
        for (int i = 0; i < 6; ++i) {
            const XMLProperty* prop = globals->property(attrs[i].name);
            if (!prop) {
                continue;
            }
            if (!parse_number(prop->value(), v[i])) {
                fprintf(stderr, "Session %s: \"%s\" is no number: %s\n", name, attrs[i].name, prop->value().c_str());
                return false;
            }
            *attrs[i].has = true;
        }
        g.tempo = v[0];
        g.eighths = (float)v[1];
        g.dry = (float)v[2];
        g.wet = (float)v[3];
        g.gain = (float)v[4];
        // A stored master may name a loop that was removed before the save,
        // which the engine bears; nothing outside the possible range.
        const bool sync_ok = std::trunc(v[5]) == v[5] && v[5] > (double)FIRST_SYNC_SOURCE && v[5] <= (double)MaxLoops;
        g.sync = sync_ok ? (int)v[5] : 0;
        const char* bad = nullptr;
        if (g.has_tempo && !tempo_in_range(g.tempo)) {
            bad = "tempo";
        } else if (g.has_eighths && !eighth_in_range((float)v[1])) {
            bad = "eighth_per_cycle";
        } else if ((g.has_dry && !std::isfinite(g.dry)) || (g.has_wet && !std::isfinite(g.wet)) ||
                   (g.has_gain && !std::isfinite(g.gain))) {
            bad = "common levels";
        } else if (g.has_sync && !sync_ok) {
            bad = "sync_source";
        }
        if (bad) {
            fprintf(stderr, "Session %s: %s out of range\n", name, bad);
            return false;
        }
    }

    XMLNode* loopers_node = root->find_named_node("Loopers");
    if (!loopers_node) {
        fprintf(stderr, "Session %s has no loops element!\n", name);
        return false;
    }
    // A copy: building a looper reads its own children by name, which
    // refills the list a named look-up returns.
    const XMLNodeList nodes = loopers_node->children("Looper");
    if (nodes.size() > MaxLoops) {
        fprintf(stderr, "Session %s has more than %u loops!\n", name, MaxLoops);
        return false;
    }
    std::vector<Looper*> built;
    built.reserve(nodes.size());
    for (XMLNode* node : nodes) {
        Looper* looper = new Looper(_driver, *node);
        if (!(*looper)()) {
            fprintf(stderr, "Session %s: loop %u cannot be restored!\n", name, (unsigned)built.size());
            delete looper;
            for (Looper* l : built) {
                delete l;
            }
            return false;
        }
        built.push_back(looper);
    }

    // From here on the session replaces what was there.
    remove_all_loops();

    if (g.has_tempo) {
        _tempo.store(g.tempo, std::memory_order_relaxed);
        request(ReqTempo);
    }
    if (g.has_eighths) {
        _eighth_cycle.store(g.eighths, std::memory_order_relaxed);
        request(ReqEighths);
    }
    if (g.has_dry) {
        _target_common_dry.store(g.dry, std::memory_order_relaxed);
        _curr_common_dry.store(g.dry, std::memory_order_relaxed);
    }
    if (g.has_wet) {
        _target_common_wet.store(g.wet, std::memory_order_relaxed);
        _curr_common_wet.store(g.wet, std::memory_order_relaxed);
    }
    if (g.has_gain) {
        _target_input_gain.store(g.gain, std::memory_order_relaxed);
        _curr_input_gain.store(g.gain, std::memory_order_relaxed);
    }
    if (g.has_sync) {
        _sync_source.store(g.sync, std::memory_order_release);
    }

    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        _loading = true;
    }
    for (Looper* l : built) {
        add_built_loop(l);
    }
    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        _loading = false;
    }
    update_sync_source();

    if (_osc) {
        _osc->send_all_config();
    }
    return true;
}

} // namespace Quillomat
