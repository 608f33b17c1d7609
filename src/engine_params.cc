// The engine's global parameters, read and set by name or by control id.
#include <cmath>

#include "command_map.h"
#include "engine.h"
#include "looper.h"

namespace Quillomat {

bool Engine::get_global_param(const std::string& name, float& value)
{
    const Event::control_t ctrl = CommandMap::instance().to_control_t(name);
    switch (ctrl) {
    case Event::DryLevel:
    case Event::WetLevel:
    case Event::InputGain:
    case Event::SyncTo:
    case Event::Tempo:
    case Event::EighthPerCycle:
    case Event::InPeakMeter:
    case Event::OutPeakMeter:
        value = get_control_value(ctrl, -2);
        return true;
    default:
        return false;
    }
}

bool Engine::set_global_param(const std::string& name, float value)
{
    std::atomic<float>* gain = nullptr;
    if (name == "dry") {
        gain = &_target_common_dry;
    } else if (name == "wet") {
        gain = &_target_common_wet;
    } else if (name == "input_gain") {
        gain = &_target_input_gain;
    }
    if (gain) {
        // A NaN or infinity would reach the host's output.
        if (!std::isfinite(value)) {
            return false;
        }
        gain->store(value, std::memory_order_relaxed);
        return true;
    }

    if (name == "sync_source") {
        if (!std::isfinite(value) || !(std::trunc(value) > (float)FIRST_SYNC_SOURCE) ||
            !(value <= (float)loop_count())) {
            return false;
        }
        _sync_source.store((int)std::lround(value), std::memory_order_release);
        update_sync_source();
        return true;
    }
    if (name == "tempo") {
        return set_tempo((double)value);
    }
    if (name == "eighth_per_cycle") {
        const bool ok = eighth_in_range(value);
        if (ok) {
            _eighth_cycle.store(value, std::memory_order_relaxed);
        }
        // The MIDI tick is worked out again in any case.
        request(ReqEighths);
        return ok;
    }
    return false;
}

float Engine::get_control_value(Event::control_t ctrl, int8_t instance)
{
    if (instance == -2) {
        switch (ctrl) {
        case Event::InPeakMeter:
            return _common_input_peak.load(std::memory_order_relaxed);
        case Event::OutPeakMeter:
            return _common_output_peak.load(std::memory_order_relaxed);
        case Event::DryLevel:
            return _curr_common_dry.load(std::memory_order_relaxed);
        case Event::WetLevel:
            return _curr_common_wet.load(std::memory_order_relaxed);
        case Event::InputGain:
            return _curr_input_gain.load(std::memory_order_relaxed);
        case Event::Tempo:
            return (float)_tempo.load(std::memory_order_relaxed);
        case Event::EighthPerCycle:
            return _eighth_cycle.load(std::memory_order_relaxed);
        case Event::SyncTo:
            return (float)_sync_source.load(std::memory_order_relaxed);
        default:
            return 0.0f;
        }
    }
    if (instance >= 0) {
        Kvo::LockMonitor lm(_instance_lock, __LINE__, __FILE__);
        if ((size_t)instance < _instances.size()) {
            return _instances[(size_t)instance]->get_control_value(ctrl);
        }
    }
    return 0.0f;
}

} // namespace Quillomat
