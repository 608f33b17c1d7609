#include "panner.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <kvo/xml++.h>

#include "utils.h"

namespace Quillomat {

namespace {

// -3 dB at the centre: 2 - 4 * 10^(-3/20).
const float equal_power_scale = static_cast<float>(2.0 - 4.0 * std::pow(10.0, -0.15));

// Smallest normal float: keeps every squared distance above zero.
const float BIAS = FLT_MIN;

// Where the outputs of the usual layouts (2 to 5 outputs) stand.
const uint32_t MaxLaidOutOutputs = 5;
const float output_layouts[MaxLaidOutOutputs - 1][MaxLaidOutOutputs][2] = {
    {{0.0f, 0.0f}, {1.0f, 0.0f}},
    {{0.5f, 0.0f}, {0.0f, 1.0f}, {1.0f, 1.0f}},
    {{0.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 1.0f}, {0.0f, 1.0f}},
    {{0.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 1.0f}, {0.0f, 1.0f}, {0.5f, 0.75f}},
};

// A leading number, as atof would take it, but never one that would put
// NaN or infinity into the gains.
bool parse_float(const XMLProperty* prop, float& out)
{
    if (!prop) {
        return false;
    }
    const char* s = prop->value().c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (end == s || errno == ERANGE || !std::isfinite(v) || std::fabs(v) > FLT_MAX) {
        return false;
    }
    out = static_cast<float>(v);
    return true;
}

bool parse_int(const XMLProperty* prop, int& out)
{
    if (!prop) {
        return false;
    }
    const char* s = prop->value().c_str();
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

std::string format_float(float v)
{
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%f", static_cast<double>(v));
    return buf;
}

float unit_clamp(float v)
{
    return std::max(std::min(v, 1.0f), 0.0f);
}

// Where a linked stream at c goes when the moved one went by delta.
float follow(float c, float delta, bool same)
{
    return unit_clamp(same ? c + delta : c - delta);
}

// dst += src * g, with the common gains of 1 and 0 kept cheap.
void add_scaled(const sample_t* src, sample_t* dst, float g, nframes_t nframes)
{
    if (g == 1.0f) {
        for (nframes_t i = 0; i < nframes; ++i) {
            dst[i] += src[i];
        }
    } else if (g != 0.0f) {
        for (nframes_t i = 0; i < nframes; ++i) {
            dst[i] += src[i] * g;
        }
    }
}

// One side of the stereo panner: ramp towards the desired gain over at most
// 64 frames, or snap when close enough.
void pan_side(float& gain, float desired, float& interp, const sample_t* src, sample_t* dst, gain_t gain_coeff,
              nframes_t nframes)
{
    const float delta = gain - desired;

    if (std::fabs(delta) > 0.002f) {
        const nframes_t n = std::min<nframes_t>(64, nframes);
        const float step = -(delta / static_cast<float>(n));
        nframes_t i = 0;
        for (; i < n; ++i) {
            interp += step;
            gain = interp + 0.9f * (gain - interp);
            dst[i] += src[i] * gain * gain_coeff;
        }
        const float g = gain * gain_coeff;
        for (; i < nframes; ++i) {
            dst[i] += src[i] * g;
        }
        return;
    }

    gain = desired;
    interp = gain;
    add_scaled(src, dst, gain * gain_coeff, nframes);
}

} // namespace

/* StreamPanner */

StreamPanner::StreamPanner(Panner& p)
    : parent(p), x(0.5f), y(0.5f), z(0.5f), effective_x(0.5f), effective_y(0.5f), effective_z(0.5f), _muted(false)
{
}

StreamPanner::~StreamPanner() {}

void StreamPanner::changed(bool notify)
{
    if (notify) {
        Changed();
    } else {
        _change_pending.store(true, std::memory_order_release);
    }
}

void StreamPanner::place(float xpos, bool link_call, bool notify)
{
    if (!link_call && parent.linked()) {
        parent.move_linked(xpos, *this, notify);
    }
    if (x.load(std::memory_order_relaxed) != xpos) {
        x.store(xpos, std::memory_order_relaxed);
        update();
        changed(notify);
    }
}

void StreamPanner::set_position(float xpos, bool link_call)
{
    place(xpos, link_call, true);
}

void StreamPanner::move_quietly(float xpos)
{
    place(xpos, false, false);
}

void StreamPanner::emit_pending_change()
{
    if (_change_pending.exchange(false, std::memory_order_acq_rel)) {
        Changed();
    }
}

void StreamPanner::set_position(float xpos, float ypos, bool link_call)
{
    if (!link_call && parent.linked()) {
        parent.set_position(xpos, ypos, *this);
    }
    float cx;
    float cy;
    get_position(cx, cy);
    if (cx != xpos || cy != ypos) {
        x.store(xpos, std::memory_order_relaxed);
        y.store(ypos, std::memory_order_relaxed);
        update();
        Changed();
    }
}

void StreamPanner::set_position(float xpos, float ypos, float zpos, bool link_call)
{
    if (!link_call && parent.linked()) {
        parent.set_position(xpos, ypos, zpos, *this);
    }
    float cx;
    float cy;
    float cz;
    get_position(cx, cy, cz);
    if (cx != xpos || cy != ypos || cz != zpos) {
        x.store(xpos, std::memory_order_relaxed);
        y.store(ypos, std::memory_order_relaxed);
        z.store(zpos, std::memory_order_relaxed);
        update();
        Changed();
    }
}

void StreamPanner::set_muted(bool yn)
{
    if (_muted != yn) {
        _muted = yn;
        StateChanged();
    }
}

int StreamPanner::set_state(const XMLNode& node)
{
    LocaleGuard lg("POSIX");
    if (const XMLProperty* prop = node.property("muted")) {
        set_muted(prop->value() == "yes");
    }
    return 0;
}

void StreamPanner::add_state(XMLNode& node)
{
    node.add_property("muted", _muted ? "yes" : "no");
}

/* BaseStereoPanner */

BaseStereoPanner::BaseStereoPanner(Panner& p)
    : StreamPanner(p), left(0), right(0), desired_left(0), desired_right(0), left_interp(0), right_interp(0)
{
}

void BaseStereoPanner::distribute(sample_t* src, sample_t** obufs, gain_t gain_coeff, nframes_t nframes)
{
    if (_muted) {
        return;
    }
    pan_side(left, desired_left, left_interp, src, obufs[0], gain_coeff, nframes);
    pan_side(right, desired_right, right_interp, src, obufs[1], gain_coeff, nframes);
}

/* EqualPowerStereoPanner */

const std::string EqualPowerStereoPanner::name = "Equal Power Stereo";

EqualPowerStereoPanner::EqualPowerStereoPanner(Panner& p) : BaseStereoPanner(p)
{
    update();
    // A new stream starts at its gains, without a ramp.
    left = desired_left;
    right = desired_right;
    left_interp = left;
    right_interp = right;
}

StreamPanner* EqualPowerStereoPanner::factory(Panner& parent)
{
    return new EqualPowerStereoPanner(parent);
}

void EqualPowerStereoPanner::update()
{
    const float scale = equal_power_scale;
    // The law holds on 0..1 only: past it the gains grow without bound (to
    // infinity far enough out), so a position outside pans hard to its side.
    const float px = x.load(std::memory_order_relaxed);
    const float pos = px > 0.0f ? (px < 1.0f ? px : 1.0f) : 0.0f;
    const float panR = pos;
    const float panL = 1.0f - pos;

    desired_left = panL * (scale * panL + 1.0f - scale);
    desired_right = panR * (scale * panR + 1.0f - scale);
    effective_x = px;
}

XMLNode& EqualPowerStereoPanner::get_state()
{
    LocaleGuard lg("POSIX");
    XMLNode* node = new XMLNode("StreamPanner");
    node->add_property("x", format_float(x.load(std::memory_order_relaxed)));
    node->add_property("type", EqualPowerStereoPanner::name);
    add_state(*node);
    return *node;
}

int EqualPowerStereoPanner::set_state(const XMLNode& node)
{
    LocaleGuard lg("POSIX");
    float pos;
    // Out-of-range positions would give gains beyond unity or inverted.
    if (parse_float(node.property("x"), pos)) {
        set_position(unit_clamp(pos), true);
    }
    StreamPanner::set_state(node);
    return 0;
}

/* Multi2dPanner */

const std::string Multi2dPanner::name = "Multiple (2D)";

Multi2dPanner::Multi2dPanner(Panner& p) : StreamPanner(p), _gains(p.outputs.size(), 0.0f)
{
    update();
}

StreamPanner* Multi2dPanner::factory(Panner& parent)
{
    return new Multi2dPanner(parent);
}

void Multi2dPanner::update()
{
    const size_t k = std::min(_gains.size(), parent.outputs.size());
    float sum = 0.0f;
    float px;
    float py;
    get_position(px, py);

    // The gains array holds the distances until they are normalised.
    for (size_t i = 0; i < k; ++i) {
        const Panner::Output& o = parent.outputs[i];
        float d = (px - o.x) * (px - o.x) + (py - o.y) * (py - o.y) + BIAS;
        if (d < 0.0f) {
            d = 0.0f;
        }
        _gains[i] = d;
        sum += d * d;
    }

    if (sum > 0.0f && std::isfinite(sum)) {
        const float inv = 1.0f / std::sqrt(sum);
        for (size_t i = 0; i < k; ++i) {
            _gains[i] = 1.0f - _gains[i] * inv;
        }
    } else {
        // sum 0: every output sits on the stream; not finite: a position
        // that cannot be panned, so stay silent rather than emit NaN.
        const float g = (sum == 0.0f) ? 1.0f : 0.0f;
        for (size_t i = 0; i < k; ++i) {
            _gains[i] = g;
        }
    }

    for (size_t i = 0; i < k; ++i) {
        parent.outputs[i].desired_pan = _gains[i];
    }
    effective_x = px;
}

void Multi2dPanner::distribute(sample_t* src, sample_t** obufs, gain_t gain_coeff, nframes_t nframes)
{
    if (_muted) {
        return;
    }
    const size_t k = std::min(_gains.size(), parent.outputs.size());
    for (size_t o = 0; o < k; ++o) {
        add_scaled(src, obufs[o], _gains[o] * gain_coeff, nframes);
    }
}

XMLNode& Multi2dPanner::get_state()
{
    LocaleGuard lg("POSIX");
    XMLNode* node = new XMLNode("StreamPanner");
    float px;
    float py;
    get_position(px, py);
    node->add_property("x", format_float(px));
    node->add_property("y", format_float(py));
    node->add_property("type", Multi2dPanner::name);
    return *node;
}

int Multi2dPanner::set_state(const XMLNode& node)
{
    LocaleGuard lg("POSIX");
    float newx = -1.0f;
    float newy = -1.0f;

    if (!parse_float(node.property("x"), newx)) {
        newx = -1.0f;
    }
    if (!parse_float(node.property("y"), newy)) {
        newy = -1.0f;
    }
    if (newx < 0.0f || newy < 0.0f) {
        std::cerr << "badly-formed positional data for Multi2dPanner - ignored" << std::endl;
        return -1;
    }
    // Restore exactly what was saved: a linked move here would shift the
    // streams read before this one.
    set_position(unit_clamp(newx), unit_clamp(newy), true);
    return 0;
}

/* Panner */

PanPlugins pan_plugins[] = {
    {EqualPowerStereoPanner::name, 2, EqualPowerStereoPanner::factory},
    {Multi2dPanner::name, 3, Multi2dPanner::factory},
    {std::string(), 0, nullptr},
};

Panner::Panner(std::string name)
    : _linked(false), _bypassed(false), _link_direction(SameDirection), _layout_outputs(0), _layout_streams(0)
{
    set_name(name);
}

Panner::~Panner()
{
    clear();
}

void Panner::set_linked(bool yn)
{
    if (yn != _linked) {
        _linked = yn;
        LinkStateChanged();
    }
}

void Panner::set_link_direction(LinkDirection ld)
{
    if (ld != _link_direction) {
        _link_direction = ld;
        LinkStateChanged();
    }
}

void Panner::set_bypassed(bool yn)
{
    if (yn != _bypassed) {
        _bypassed = yn;
        StateChanged();
    }
}

void Panner::reset(uint32_t nouts, uint32_t npans)
{
    if (nouts < 2) {
        return;
    }
    _layout_outputs = nouts;
    _layout_streams = npans;
    if (nouts == outputs.size() && npans == size()) {
        return;
    }

    bool changed = (npans != size());
    clear();
    if (nouts != outputs.size()) {
        changed = true;
    }
    outputs.clear();
    outputs.reserve(nouts);

    for (uint32_t i = 0; i < nouts; ++i) {
        if (nouts <= MaxLaidOutOutputs) {
            const float* spot = output_layouts[nouts - 2][i];
            outputs.emplace_back(spot[0], spot[1]);
        } else {
            const float pos = static_cast<float>(0.1 * i);
            outputs.emplace_back(pos, pos);
        }
    }

    StreamPanner* (*factory)(Panner&) = (nouts == 2) ? EqualPowerStereoPanner::factory : Multi2dPanner::factory;
    reserve(npans);
    for (uint32_t i = 0; i < npans; ++i) {
        push_back(factory(*this));
    }
    for (StreamPanner* s : *this) {
        s->update();
    }

    if (npans == 2 && outputs.size() == 2) {
        float left;
        float right;
        front()->get_position(left);
        back()->get_position(right);
        if (changed || (left == 0.5f && right == 0.5f)) {
            // Placed directly: through the link, a linked panner would end
            // with both streams on the same side.
            front()->set_position(0.0f, true);
            back()->set_position(1.0f, true);
            changed = true;
        }
    }

    if (changed) {
        Changed();
    }
}

void Panner::remove(uint32_t which)
{
    if (which < size()) {
        delete (*this)[which];
        erase(begin() + which);
    }
}

void Panner::clear()
{
    for (StreamPanner* s : *this) {
        delete s;
    }
    std::vector<StreamPanner*>::clear();
}

void Panner::move_linked(float xpos, StreamPanner& orig, bool notify)
{
    float xnow;
    orig.get_position(xnow);
    const float xdelta = xpos - xnow;
    const bool same = (_link_direction == SameDirection);

    for (StreamPanner* s : *this) {
        if (s == &orig) {
            s->place(xpos, true, notify);
        } else {
            float c;
            s->get_position(c);
            s->place(follow(c, xdelta, same), true, notify);
        }
    }
}

void Panner::emit_pending_changes()
{
    for (StreamPanner* s : *this) {
        s->emit_pending_change();
    }
}

void Panner::set_position(float xpos, float ypos, StreamPanner& orig)
{
    float xnow;
    float ynow;
    orig.get_position(xnow, ynow);
    const float xdelta = xpos - xnow;
    const float ydelta = ypos - ynow;
    const bool same = (_link_direction == SameDirection);

    for (StreamPanner* s : *this) {
        if (s == &orig) {
            s->set_position(xpos, ypos, true);
        } else {
            float cx;
            float cy;
            s->get_position(cx, cy);
            s->set_position(follow(cx, xdelta, same), follow(cy, ydelta, same), true);
        }
    }
}

void Panner::set_position(float xpos, float ypos, float zpos, StreamPanner& orig)
{
    float xnow;
    float ynow;
    float znow;
    orig.get_position(xnow, ynow, znow);
    const float xdelta = xpos - xnow;
    const float ydelta = ypos - ynow;
    const float zdelta = zpos - znow;
    const bool same = (_link_direction == SameDirection);

    for (StreamPanner* s : *this) {
        if (s == &orig) {
            s->set_position(xpos, ypos, zpos, true);
        } else {
            float cx;
            float cy;
            float cz;
            s->get_position(cx, cy, cz);
            s->set_position(follow(cx, xdelta, same), follow(cy, ydelta, same), follow(cz, zdelta, same), true);
        }
    }
}

XMLNode& Panner::get_state()
{
    return state(true);
}

XMLNode& Panner::state(bool /*full*/)
{
    LocaleGuard lg("POSIX");
    XMLNode* root = new XMLNode("Panner");

    for (StreamPanner* s : *this) {
        root->add_child_nocopy(s->get_state());
    }

    char buf[32];
    root->add_property("linked", _linked ? "yes" : "no");
    std::snprintf(buf, sizeof(buf), "%d", static_cast<int>(_link_direction));
    root->add_property("link_direction", buf);
    root->add_property("bypassed", _bypassed ? "yes" : "no");

    for (const Output& o : outputs) {
        XMLNode* child = root->add_child("Output");
        child->add_property("x", format_float(o.x));
        child->add_property("y", format_float(o.y));
    }
    return *root;
}

bool Panner::layout_matches() const
{
    if (outputs.size() != _layout_outputs || size() != _layout_streams) {
        return false;
    }
    for (const StreamPanner* s : *this) {
        const bool stereo = dynamic_cast<const EqualPowerStereoPanner*>(s) != nullptr;
        if (stereo != (outputs.size() == 2)) {
            return false;
        }
    }
    return true;
}

int Panner::set_state(const XMLNode& node)
{
    LocaleGuard lg("POSIX");
    int result = 0;

    clear();
    outputs.clear();

    if (const XMLProperty* prop = node.property("linked")) {
        set_linked(prop->value() == "yes");
    }
    if (const XMLProperty* prop = node.property("bypassed")) {
        set_bypassed(prop->value() == "yes");
    }
    int dir;
    if (parse_int(node.property("link_direction"), dir) && (dir == SameDirection || dir == OppositeDirection)) {
        set_link_direction(static_cast<LinkDirection>(dir));
    }

    const XMLNodeList& kids = node.children();

    for (const XMLNode* child : kids) {
        if (child->name() != "Output") {
            continue;
        }
        float ox;
        float oy;
        if (parse_float(child->property("x"), ox) && parse_float(child->property("y"), oy)) {
            outputs.emplace_back(ox, oy);
        } else {
            std::cerr << "badly-formed Output in pan state - ignored" << std::endl;
        }
    }

    for (const XMLNode* child : kids) {
        if (child->name() != "StreamPanner") {
            continue;
        }
        const XMLProperty* type = child->property("type");
        if (!type) {
            std::cerr << "panner plugin node has no type information!" << std::endl;
            result = -1;
            break;
        }
        const PanPlugins* row = pan_plugins;
        while (row->factory && row->name != type->value()) {
            ++row;
        }
        if (!row->factory) {
            std::cerr << "Unknown panner plugin found in pan state - ignored" << std::endl;
            continue;
        }
        StreamPanner* sp = row->factory(*this);
        if (sp->set_state(*child) == 0) {
            push_back(sp);
        } else {
            delete sp;
        }
    }

    // The loop indexes one stream per channel and hands one buffer per
    // engine output: a state that does not fit goes back to that layout.
    if (_layout_outputs >= 2 && !layout_matches()) {
        std::cerr << "pan state does not match the loop's channels and outputs - reset" << std::endl;
        clear();
        outputs.clear();
        reset(_layout_outputs, _layout_streams);
    }

    return result;
}

} // namespace Quillomat
