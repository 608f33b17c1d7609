// Sessions: the globals and every loop's state as one XML document, in a file
// or a text.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <kvo/xml++.h>

#include "control_osc.h"
#include "engine.h"
#include "looper.h"
#include "utils.h"
#include "version.h"

namespace Quillomat {

namespace {

// The attributes of "Globals", in the order they are written.
enum Global { GTempo, GEighths, GDry, GWet, GGain, GSync, GlobalCount };
const char* const kGlobalNames[GlobalCount] = {"tempo",      "eighth_per_cycle", "common_dry",
                                               "common_wet", "input_gain",       "sync_source"};

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
    const double values[GlobalCount] = {_tempo.load(std::memory_order_relaxed),
                                        _eighth_cycle.load(std::memory_order_relaxed),
                                        _curr_common_dry.load(std::memory_order_relaxed),
                                        _curr_common_wet.load(std::memory_order_relaxed),
                                        _curr_input_gain.load(std::memory_order_relaxed),
                                        (double)_sync_source.load(std::memory_order_relaxed)};
    for (int i = 0; i < GlobalCount; ++i) {
        char buf[120];
        if (i == GSync) {
            snprintf(buf, sizeof(buf), "%d", (int)values[i]);
        } else {
            snprintf(buf, sizeof(buf), "%.10g", values[i]);
        }
        globals->add_property(kGlobalNames[i], buf);
    }

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

    // Everything is checked before anything changes.
    bool has[GlobalCount] = {};
    double v[GlobalCount] = {};
    if (XMLNode* globals = root->find_named_node("Globals")) {
        for (int i = 0; i < GlobalCount; ++i) {
            const XMLProperty* prop = globals->property(kGlobalNames[i]);
            if (!prop) {
                continue;
            }
            // As "%g" reads it ("%d" for the sync source): the leading number
            // counts, and an attribute without one is left out.
            if (i == GSync) {
                const char* begin = prop->value().c_str();
                char* end = nullptr;
                v[i] = (double)strtol(begin, &end, 10);
                has[i] = end != begin;
            } else {
                has[i] = parse_double(prop->value(), v[i]);
            }
        }
    }
    // A stored master may name a loop that was removed before the save,
    // which the engine bears; nothing outside the possible range.
    const double sync = v[GSync];
    const bool sync_ok = sync > (double)FIRST_SYNC_SOURCE && sync <= (double)MaxLoops;
    const char* bad = nullptr;
    if (has[GTempo] && !tempo_in_range(v[GTempo])) {
        bad = "tempo";
    } else if (has[GEighths] && !eighth_in_range((float)v[GEighths])) {
        bad = "eighth_per_cycle";
    } else if ((has[GDry] && !std::isfinite((float)v[GDry])) || (has[GWet] && !std::isfinite((float)v[GWet])) ||
               (has[GGain] && !std::isfinite((float)v[GGain]))) {
        bad = "common levels";
    } else if (has[GSync] && !sync_ok) {
        bad = "sync_source";
    }
    if (bad) {
        fprintf(stderr, "Session %s: %s out of range\n", name, bad);
        return false;
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
    // Each loop's element is checked, and the memory of all of them counted
    // against the budget, before anything changes. The new loops are built
    // before the ones there now go, so the budget must hold both sets (but
    // not the loops of a load just before, which are on their way out).
    size_t need = 0;
    unsigned int k = 0;
    for (XMLNode* node : nodes) {
        unsigned int chans = 0;
        float secs = 0.0f;
        if (!Looper::check_state(*node, chans, secs)) {
            fprintf(stderr, "Session %s: loop %u cannot be restored!\n", name, k);
            return false;
        }
        need += loop_memory(chans, secs);
        ++k;
    }
    if (!make_room(need, "load session " + filename + " beside the loops there now")) {
        return false;
    }
    std::vector<std::unique_ptr<Looper>> built;
    built.reserve(nodes.size());
    for (XMLNode* node : nodes) {
        std::unique_ptr<Looper> looper(new Looper(_driver, *node));
        if (!(*looper)() || looper->state_refused()) {
            fprintf(stderr, "Session %s: loop %u cannot be restored!\n", name, (unsigned)built.size());
            return false;
        }
        built.push_back(std::move(looper));
    }
    {
        // From here on the old loops leave and the new ones come without an
        // allocation that could stop them halfway.
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        reserve_list_room(built.size(), _instances.size());
    }
    // The loops there now are handed over; the engine thread frees them, at
    // once while no audio runs.
    remove_all_loops();
    wake_engine_thread(true);

    if (has[GTempo]) {
        _tempo.store(v[GTempo], std::memory_order_relaxed);
        request(ReqTempo);
    }
    if (has[GEighths]) {
        _eighth_cycle.store((float)v[GEighths], std::memory_order_relaxed);
        request(ReqEighths);
    }
    if (has[GDry]) {
        _target_common_dry.store((float)v[GDry], std::memory_order_relaxed);
        _curr_common_dry.store((float)v[GDry], std::memory_order_relaxed);
    }
    if (has[GWet]) {
        _target_common_wet.store((float)v[GWet], std::memory_order_relaxed);
        _curr_common_wet.store((float)v[GWet], std::memory_order_relaxed);
    }
    if (has[GGain]) {
        _target_input_gain.store((float)v[GGain], std::memory_order_relaxed);
        _curr_input_gain.store((float)v[GGain], std::memory_order_relaxed);
    }
    if (has[GSync]) {
        _sync_source.store((int)sync, std::memory_order_release);
    }

    {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        _loading = true;
    }
    for (std::unique_ptr<Looper>& l : built) {
        add_built_loop(l.release());
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
