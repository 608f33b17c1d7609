#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <kvo/xml++.h>

#include "command_map.h"
#include "looper.h"
#include "panner.h"
#include "utils.h"

namespace Quillomat {

namespace {

const char* yes_no(bool v)
{
    return v ? "yes" : "no";
}

// A count as "%u" reads it: the leading whole number, whatever follows it;
// false, with out left alone, when the text starts with none. A sign is
// kept, so a negative count is refused as out of range rather than wrapped.
bool parse_integer(const std::string& text, long long& out)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin) {
        return false;
    }
    out = v;
    return true;
}

// NaN, infinity or past the range of a float, where a loop holds only
// finite floats: the element is corrupt.
bool not_finite(const XMLProperty* prop)
{
    double v = 0.0;
    return prop && parse_double(prop->value(), v) && !(std::fabs(v) <= FLT_MAX);
}

// What of the element holds a number that no loop holds, or null.
const char* corrupt_part(const XMLNode& node)
{
    if (const XMLNode* controls = node.find_named_node("Controls")) {
        for (const XMLNode* c : controls->children()) {
            if (c->name() == "Control" && not_finite(c->property("value"))) {
                return "a control";
            }
        }
    }
    for (const XMLNode* panner : node.children()) {
        if (panner->name() != "Panner") {
            continue;
        }
        for (const XMLNode* p : panner->children()) {
            if ((p->name() == "StreamPanner" || p->name() == "Output") &&
                (not_finite(p->property("x")) || not_finite(p->property("y")))) {
                return "the panning";
            }
        }
    }
    return nullptr;
}

} // namespace

Looper::Looper(AudioDriver* driver, XMLNode& node)
    : _driver(driver), _index(0), _chan_count(1), _loopsecs(40.0f), _have_discrete_io(false)
{
    _state_refused = set_state(node) < 0;
    if (_state_refused) {
        std::cerr << "Set state errored" << std::endl;
        // initialize releases what a partial restore built.
        initialize(_index, _chan_count, 40.0f, true);
    }
}

XMLNode* Looper::get_state() const
{
    try {
        LocaleGuard lg("POSIX");
        char buf[120];

        XMLNode* node = new XMLNode("Looper");
        std::unique_ptr<XMLNode> hold(node);

        snprintf(buf, sizeof(buf), "%d", (int)_index);
        node->add_property("index", buf);
        snprintf(buf, sizeof(buf), "%d", (int)_chan_count);
        node->add_property("channels", buf);
        snprintf(buf, sizeof(buf), "%.10g", (double)_loopsecs);
        node->add_property("loop_secs", buf);
        node->add_property("discrete_io", yes_no(get_control_value(Event::HasDiscreteIO) != 0.0f));
        node->add_property("use_common_ins", yes_no(get_control_value(Event::UseCommonIns) != 0.0f));
        node->add_property("use_common_outs", yes_no(get_control_value(Event::UseCommonOuts) != 0.0f));
        node->add_property("relative_sync", yes_no(get_control_value(Event::RelativeSync) != 0.0f));

        if (_panner) {
            node->add_child_nocopy(_panner->state(true));
        }

        XMLNode* controls = node->add_child("Controls");
        CommandMap& cmap = CommandMap::instance();
        for (int n = 0; n <= (int)Event::UseSafetyFeedback; ++n) {
            const std::string name = cmap.to_control_str((Event::control_t)n);
            if (name == "unknown") {
                continue;
            }
            // The published values: the dry level is the current one.
            const float value = get_control_value((Event::control_t)n);
            XMLNode* ctrl = controls->add_child("Control");
            ctrl->add_property("name", name);
            snprintf(buf, sizeof(buf), "%.20g", (double)value);
            ctrl->add_property("value", buf);
        }

        return hold.release();
    } catch (const std::exception& e) {
        std::cerr << "cannot write the state of loop " << _index << ": " << e.what() << std::endl;
        return nullptr;
    }
}

int Looper::set_state(const XMLNode& node)
{
    try {
        const int result = restore_state(node);
        publish();
        return result;
    } catch (const std::exception& e) {
        std::cerr << "cannot restore loop state: " << e.what() << std::endl;
        destroy();
        return -1;
    }
}

bool Looper::read_config(const XMLNode& node, long long& index, long long& chan_count, double& loopsecs,
                         bool& discrete)
{
    if (node.name() != "Looper") {
        std::cerr << "incorrect XML node passed to IO object: " << node.name() << std::endl;
        return false;
    }
    // A field that holds no number keeps its value.
    const XMLProperty* prop;
    if ((prop = node.property("index"))) {
        parse_integer(prop->value(), index);
    }
    if ((prop = node.property("channels"))) {
        parse_integer(prop->value(), chan_count);
    }
    if ((prop = node.property("loop_secs"))) {
        parse_double(prop->value(), loopsecs);
    }
    if (const char* part = corrupt_part(node)) {
        std::cerr << "Looper state refused: " << part << " is not a finite number" << std::endl;
        return false;
    }
    if ((prop = node.property("discrete_io"))) {
        discrete = prop->value() == "yes";
    }
    if (!validate_config(index, chan_count, loopsecs)) {
        std::cerr << "Looper state refused" << std::endl;
        return false;
    }
    return true;
}

bool Looper::check_state(const XMLNode& node, unsigned int& chan_count, float& loopsecs)
{
    LocaleGuard lg("POSIX");
    // Where the XML constructor starts from.
    long long index = 0, chans = 1;
    double secs = 40.0;
    bool discrete = false;
    if (!read_config(node, index, chans, secs, discrete)) {
        return false;
    }
    if (!node.find_named_node("Controls")) {
        std::cerr << "no controls found" << std::endl;
        return false;
    }
    chan_count = (unsigned int)chans;
    loopsecs = (float)secs;
    return true;
}

int Looper::restore_state(const XMLNode& node)
{
    LocaleGuard lg("POSIX");

    // Read everything first: a value out of range refuses the whole element
    // before anything is torn down or built.
    long long index = _index;
    long long chans = _chan_count;
    double secs = _loopsecs;
    bool discrete = _have_discrete_io;
    if (!read_config(node, index, chans, secs, discrete)) {
        return -1;
    }
    const XMLProperty* prop;

    _index = (unsigned int)index;
    _chan_count = (unsigned int)chans;
    _loopsecs = (float)secs;
    _have_discrete_io = discrete;

    initialize(_index, _chan_count, _loopsecs, _have_discrete_io);

    if ((prop = node.property("use_common_ins"))) {
        _use_common_ins = prop->value() == "yes";
    }
    if ((prop = node.property("use_common_outs"))) {
        _use_common_outs = prop->value() == "yes";
    }
    if ((prop = node.property("relative_sync"))) {
        _relative_sync = prop->value() == "yes";
    }

    // The node keeps one named-child list for every call: take a copy.
    const XMLNodeList panners = node.children("Panner");
    for (XMLNode* child : panners) {
        if (_panner) {
            _panner->set_state(*child);
        }
    }

    const XMLNode* controls = node.find_named_node("Controls");
    if (!controls) {
        std::cerr << "no controls found" << std::endl;
        return -1;
    }

    CommandMap& cmap = CommandMap::instance();
    for (const XMLNode* child : controls->children()) {
        if (child->name() != "Control") {
            continue;
        }
        Event::control_t control = Event::Unknown;
        if ((prop = child->property("name"))) {
            control = cmap.to_control_t(prop->value());
        }
        double dvalue = 0.0;  // also when it holds no number
        if ((prop = child->property("value"))) {
            parse_double(prop->value(), dvalue);
        }
        float value = (float)dvalue;

        const int n = (int)control;
        if (control == Event::DryLevel) {
            _target_dry = value;
            _curr_dry = value;
        } else if (n >= 0 && n <= (int)Event::UseSafetyFeedback) {
            // As a client's change would: a rate reaches the loop's clock too.
            apply_control(control, value);
        } else if (n > (int)Event::UseSafetyFeedback && n < ControlCount) {
            ports[n] = value;
        }
    }

    return 0;
}

} // namespace Quillomat
