#include "command_map.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace Quillomat {

namespace {

// The value stored under key, or fallback when there is none.
template <class Map>
typename Map::mapped_type lookup(const Map& map, const typename Map::key_type& key,
                                 const typename Map::mapped_type& fallback)
{
    auto it = map.find(key);
    return it == map.end() ? fallback : it->second;
}

// Each name stored under its value, walking the names in order.
template <class Names, class Values>
void invert(const Names& names, Values& values)
{
    for (const auto& kv : names) {
        values[kv.second] = kv.first;
    }
}

template <class Map>
void append_names(const Map& map, std::list<std::string>& out)
{
    for (const auto& kv : map) {
        out.push_back(kv.first);
    }
}

} // namespace

CommandMap& CommandMap::instance()
{
    // A function-local static is initialised once even if two threads race
    // here; the object itself is deliberately leaked.
    static CommandMap* const map = new CommandMap();
#if defined(__SANITIZE_ADDRESS__)
    // A host that unloads the library loses the pointer: the leak check is
    // told that the map is kept, and so is all it holds.
    [[maybe_unused]] static const bool told = (__lsan_ignore_object(map), true);
#endif
    return *map;
}

CommandMap::CommandMap()
{
    _str_type_map["down"] = Event::type_cmd_down;
    _str_type_map["up"] = Event::type_cmd_up;
    _str_type_map["upforce"] = Event::type_cmd_upforce;
    _str_type_map["hit"] = Event::type_cmd_hit;
    _str_type_map["set"] = Event::type_control_change;
    _str_type_map["get"] = Event::type_control_request;
    _str_type_map["g_set"] = Event::type_global_control_change;
    _str_type_map["sync"] = Event::type_sync;
    invert(_str_type_map, _type_str_map);

    _str_cmd_map["record"] = Event::RECORD;
    _str_cmd_map["overdub"] = Event::OVERDUB;
    _str_cmd_map["multiply"] = Event::MULTIPLY;
    _str_cmd_map["insert"] = Event::INSERT;
    _str_cmd_map["replace"] = Event::REPLACE;
    _str_cmd_map["reverse"] = Event::REVERSE;
    _str_cmd_map["mute"] = Event::MUTE;
    _str_cmd_map["undo"] = Event::UNDO;
    _str_cmd_map["redo"] = Event::REDO;
    _str_cmd_map["scratch"] = Event::SCRATCH;
    _str_cmd_map["trigger"] = Event::TRIGGER;
    _str_cmd_map["oneshot"] = Event::ONESHOT;
    _str_cmd_map["substitute"] = Event::SUBSTITUTE;
    _str_cmd_map["undo_all"] = Event::UNDO_ALL;
    _str_cmd_map["redo_all"] = Event::REDO_ALL;
    invert(_str_cmd_map, _cmd_str_map);

    _input_controls["rec_thresh"] = Event::TriggerThreshold;
    _input_controls["feedback"] = Event::Feedback;
    _input_controls["use_feedback_play"] = Event::UseFeedbackPlay;
    _input_controls["dry"] = Event::DryLevel;
    _input_controls["wet"] = Event::WetLevel;
    _input_controls["rate"] = Event::Rate;
    _input_controls["scratch_pos"] = Event::ScratchPosition;
    _input_controls["delay_trigger"] = Event::TapDelayTrigger;
    _input_controls["quantize"] = Event::Quantize;
    _input_controls["round"] = Event::Round;
    _input_controls["redo_is_tap"] = Event::RedoTap;
    _input_controls["sync"] = Event::SyncMode;
    _input_controls["playback_sync"] = Event::PlaybackSync;
    _input_controls["use_rate"] = Event::UseRate;
    _input_controls["fade_samples"] = Event::FadeSamples;
    _input_controls["use_safety_feedback"] = Event::UseSafetyFeedback;
    _input_controls["relative_sync"] = Event::RelativeSync;
    _input_controls["input_gain"] = Event::InputGain;
    _input_controls["use_common_ins"] = Event::UseCommonIns;
    _input_controls["use_common_outs"] = Event::UseCommonOuts;
    _input_controls["pan_1"] = Event::PanChannel1;
    _input_controls["pan_2"] = Event::PanChannel2;
    _input_controls["pan_3"] = Event::PanChannel3;
    _input_controls["pan_4"] = Event::PanChannel4;
    _str_ctrl_map.insert(_input_controls.begin(), _input_controls.end());

    _output_controls["waiting"] = Event::Waiting;
    _output_controls["state"] = Event::State;
    _output_controls["next_state"] = Event::NextState;
    _output_controls["loop_len"] = Event::LoopLength;
    _output_controls["loop_pos"] = Event::LoopPosition;
    _output_controls["cycle_len"] = Event::CycleLength;
    _output_controls["free_time"] = Event::FreeTime;
    _output_controls["total_time"] = Event::TotalTime;
    _output_controls["rate_output"] = Event::TrueRate;
    _output_controls["has_discrete_io"] = Event::HasDiscreteIO;
    _output_controls["channel_count"] = Event::ChannelCount;
    _output_controls["in_peak_meter"] = Event::InPeakMeter;
    _output_controls["out_peak_meter"] = Event::OutPeakMeter;
    _str_ctrl_map.insert(_output_controls.begin(), _output_controls.end());

    _event_controls["midi_start"] = Event::MidiStart;
    _event_controls["midi_stop"] = Event::MidiStop;
    _event_controls["midi_tick"] = Event::MidiTick;
    _str_ctrl_map.insert(_event_controls.begin(), _event_controls.end());

    _global_controls["tempo"] = Event::Tempo;
    _global_controls["eighth_per_cycle"] = Event::EighthPerCycle;
    _global_controls["sync_source"] = Event::SyncTo;
    _global_controls["tap_tempo"] = Event::TapTempo;
    _global_controls["save_loop"] = Event::SaveLoop;
    _str_ctrl_map.insert(_global_controls.begin(), _global_controls.end());

    invert(_str_ctrl_map, _ctrl_str_map);
}

Event::command_t CommandMap::to_command_t(const std::string& name) const
{
    return lookup(_str_cmd_map, name, Event::UNKNOWN);
}

std::string CommandMap::to_command_str(Event::command_t cmd) const
{
    return lookup(_cmd_str_map, cmd, std::string("unknown"));
}

Event::control_t CommandMap::to_control_t(const std::string& name) const
{
    return lookup(_str_ctrl_map, name, Event::Unknown);
}

std::string CommandMap::to_control_str(Event::control_t ctrl) const
{
    return lookup(_ctrl_str_map, ctrl, std::string("unknown"));
}

Event::type_t CommandMap::to_type_t(const std::string& name) const
{
    return lookup(_str_type_map, name, Event::type_cmd_hit);
}

bool CommandMap::is_command(const std::string& name) const
{
    return _str_cmd_map.count(name) != 0;
}

void CommandMap::get_commands(std::list<std::string>& out) const
{
    append_names(_str_cmd_map, out);
}

void CommandMap::get_controls(std::list<std::string>& out) const
{
    append_names(_str_ctrl_map, out);
}

} // namespace Quillomat
