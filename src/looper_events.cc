#include <algorithm>
#include <cmath>

#include "looper.h"
#include "onepole_filter.h"
#include "panner.h"
#include "quillomat.h"

namespace Quillomat {

void Looper::do_event(Event* ev)
{
    if (!ev) {
        return;
    }
    const int cmd = (int)ev->Command;

    switch (ev->Type) {
    case Event::type_cmd_hit:
        requested_cmd = cmd;
        request_pending = true;
        break;

    case Event::type_cmd_down:
        if (cmd < 0 || cmd >= (int)Event::LAST_COMMAND) {
            break;
        }
        requested_cmd = cmd;
        request_pending = true;
        _down_stamps[cmd] = _running_frames;
        break;

    case Event::type_cmd_up:
    case Event::type_cmd_upforce: {
        if (cmd < 0 || cmd >= (int)Event::LAST_COMMAND) {
            break;
        }
        const bool playing = ports[QM_STATE_OUT] == (float)STATE_PLAY;
        const bool counts = !playing || cmd == Event::REVERSE || cmd == Event::DELAY || cmd == Event::UNDO ||
                            cmd == Event::REDO;
        if (counts) {
            if (ev->Type == Event::type_cmd_upforce) {
                int c = cmd;
                const float state = ports[QM_STATE_OUT];
                if (ports[Quantize] == 0.0f && ((state == (float)STATE_MULTIPLY && cmd == Event::MULTIPLY) ||
                                                (state == (float)STATE_INSERT && cmd == Event::INSERT))) {
                    c = Event::RECORD;
                }
                requested_cmd = c;
                request_pending = true;
            } else if (_down_stamps[cmd] + _longpress_frames < _running_frames) {
                // A long press: the release acts again.
                int c = cmd;
                if (cmd == Event::UNDO) {
                    c = Event::UNDO_ALL;
                } else if (cmd == Event::REDO) {
                    c = Event::REDO_ALL;
                }
                requested_cmd = c;
                request_pending = true;
            }
        }
        _down_stamps[cmd] = 0;
        break;
    }

    case Event::type_control_change:
        apply_control(ev->Control, ev->Value);
        break;

    default:
        break;
    }
    publish();
}

void Looper::set_rate_ratio(float value)
{
    double r = std::min((double)value, MaxResamplingRate);
    r = std::max(r, MinResamplingRate);
    _src_in_ratio = r;
    _clock.set_rate((float)r);
}

bool Looper::keeps(Event::control_t control, float& value)
{
    // A NaN or infinity would reach the rate clock and the processor.
    if (!std::isfinite(value)) {
        return false;
    }
    switch (control) {
    case Event::Quantize:
        value = std::round(value);
        return true;
    case Event::Feedback:
        // As the processors hold it.
        value = dsp::clamp01(value);
        return true;
    case Event::RelativeSync:
    case Event::UseCommonIns:
    case Event::UseCommonOuts:
        value = value > 0.0f ? 1.0f : 0.0f;
        return true;
    case Event::InputGain:
    case Event::PanChannel1:
    case Event::PanChannel2:
    case Event::PanChannel3:
    case Event::PanChannel4:
        return true;
    case Event::MultiUnused:
        return false;
    default:
        return (int)control >= 0 && (int)control <= (int)Event::UseSafetyFeedback;
    }
}

bool Looper::takes(Event::control_t control, float& value) const
{
    if (!keeps(control, value)) {
        return false;
    }
    const int pan = (int)control - (int)Event::PanChannel1;
    if (pan < 0 || pan > (int)Event::PanChannel4 - (int)Event::PanChannel1) {
        return true;
    }
    return _panner && (size_t)pan < _panner->size();
}

void Looper::apply_control(Event::control_t control, float& value)
{
    if (!takes(control, value)) {
        return;
    }
    const int ctrl = (int)control;

    if (ctrl >= 0 && ctrl <= (int)Event::UseSafetyFeedback) {
        if (control == Event::DryLevel) {
            _target_dry = value;
            return;
        }
        ports[ctrl] = value;
        if (control == Event::Rate) {
            set_rate_ratio(value);
        }
        return;
    }

    switch (control) {
    case Event::InputGain:
        _targ_input_gain = value;
        break;
    case Event::RelativeSync:
        _relative_sync = value != 0.0f;
        break;
    case Event::UseCommonIns:
        _use_common_ins = value != 0.0f;
        break;
    case Event::UseCommonOuts:
        _use_common_outs = value != 0.0f;
        break;
    case Event::PanChannel1:
    case Event::PanChannel2:
    case Event::PanChannel3:
    case Event::PanChannel4: {
        // No slot runs here: the signal waits for emit_pending_signals.
        (*_panner)[(size_t)(ctrl - (int)Event::PanChannel1)]->move_quietly(value);
        break;
    }
    default:
        break;
    }
}

void Looper::set_port(ControlPort port, float value)
{
    if (!std::isfinite(value)) {
        return;
    }
    if (port == DryLevel) {
        _target_dry = value;
    } else if (port == RelativeSync) {
        _relative_sync = value != 0.0f;
    } else if ((int)port >= 0 && (int)port < ControlCount) {
        ports[port] = value;
    }
    publish();
}

float Looper::get_control_value(Event::control_t control) const
{
    const int ctrl = (int)control;
    if (ctrl >= 0 && ctrl < ControlCount) {
        // DryLevel's slot holds the current dry level.
        return _pub.ports[ctrl].load(std::memory_order_relaxed);
    }

    switch (control) {
    case Event::UseCommonIns:
        return _pub.use_common_ins.load(std::memory_order_relaxed) ? 1.0f : 0.0f;
    case Event::UseCommonOuts:
        return _pub.use_common_outs.load(std::memory_order_relaxed) ? 1.0f : 0.0f;
    case Event::HasDiscreteIO:
        return _pub.discrete_io.load(std::memory_order_relaxed) ? 1.0f : 0.0f;
    case Event::RelativeSync:
        return _pub.relative_sync.load(std::memory_order_relaxed) ? 1.0f : 0.0f;
    case Event::ChannelCount:
        return (float)_pub.chan_count.load(std::memory_order_relaxed);
    case Event::InPeakMeter:
        return _pub.in_peak.load(std::memory_order_relaxed);
    case Event::OutPeakMeter:
        return _pub.out_peak.load(std::memory_order_relaxed);
    case Event::InputGain:
        return _pub.input_gain.load(std::memory_order_relaxed);
    case Event::PanChannel1:
    case Event::PanChannel2:
    case Event::PanChannel3:
    case Event::PanChannel4:
        return _pub.pan[ctrl - (int)Event::PanChannel1].load(std::memory_order_relaxed);
    default:
        return 0.0f;
    }
}

} // namespace Quillomat
