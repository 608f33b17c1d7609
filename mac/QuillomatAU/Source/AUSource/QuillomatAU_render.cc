// The effect as the engine's audio driver: port names to bus channels, the
// buses' buffers for the current render call, and the host's transport.
#include <cstdio>
#include <iostream>

#include "QuillomatAU.h"
#include "engine.h"

using Quillomat::nframes_t;
using Quillomat::port_id_t;

namespace {
// A host's frame position, rounded to the nearest frame as a beat times the
// frames of a beat may come a hair short; nonsense counts as 0.
uint64_t host_frames(double frames)
{
    return frames >= 0.0 && frames < 1.8e19 ? (uint64_t)(frames + 0.5) : 0;
}
} // namespace

bool QuillomatAU::initialize(const std::string&) { return true; }

nframes_t QuillomatAU::get_samplerate() { return (nframes_t)GetSampleRate(); }

nframes_t QuillomatAU::get_buffersize() { return GetMaxFramesPerSlice(); }

bool QuillomatAU::create_port(const std::string& name, const char* direction, port_id_t& id)
{
    const std::string common = std::string("common_") + direction + "_%d";
    const std::string loop = std::string("loop%d_") + direction + "_%d";
    int n = 0, l = 0;
    if (name.compare(0, 6, "common") == 0) {
        if (std::sscanf(name.c_str(), common.c_str(), &n) != 1) return false;
        id = (port_id_t)n;
    } else if (name.compare(0, 4, "loop") == 0) {
        if (std::sscanf(name.c_str(), loop.c_str(), &l, &n) != 2) return false;
        id = (port_id_t)(l * (int)_chancnt + (int)_chancnt + n);
    } else {
        return false;
    }
    std::cerr << "portid for " << name << " = " << id << std::endl;
    return true;
}

bool QuillomatAU::create_input_port(const std::string& name, port_id_t& id) { return create_port(name, "in", id); }

bool QuillomatAU::create_output_port(const std::string& name, port_id_t& id) { return create_port(name, "out", id); }

float* QuillomatAU::port_buffer(AudioBufferList* const* lists, port_id_t id) const
{
    if (id == 0 || _chancnt == 0) return nullptr;
    const port_id_t bus = (id - 1) / _chancnt, channel = (id - 1) % _chancnt;
    if (bus >= kBusCount || !lists[bus]) return nullptr;
    // A bus the host set up with fewer channels than bus 0 has fewer buffers.
    if (channel >= lists[bus]->mNumberBuffers) return nullptr;
    return static_cast<float*>(lists[bus]->mBuffers[channel].mData);
}

float* QuillomatAU::get_input_port_buffer(port_id_t id, nframes_t) { return port_buffer(_in_buflist, id); }

float* QuillomatAU::get_output_port_buffer(port_id_t id, nframes_t) { return port_buffer(_out_buflist, id); }

ComponentResult QuillomatAU::Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                                    UInt32 nFrames)
{
    _curr_stamp = inTimeStamp;
    return AUMIDIEffectBase::Render(ioActionFlags, inTimeStamp, nFrames);
}

OSStatus QuillomatAU::ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags, const AudioBufferList& inBuffer,
                                         AudioBufferList& outBuffer, UInt32 inFramesToProcess)
{
    // Interleaved host buffers: the ports are one buffer per channel.
    if (inBuffer.mNumberBuffers == 1 && _chancnt > 1) {
        ioActionFlags |= kAudioUnitRenderAction_OutputIsSilence;
        return kAudioUnitErr_InvalidParameter;
    }
    _in_buflist[0] = const_cast<AudioBufferList*>(&inBuffer);
    _out_buflist[0] = &outBuffer;

    // Loops past the eighth have no bus of their own.
    UInt32 loops = _engine->live_loop_count();
    if (loops > kBusCount - 1) loops = kBusCount - 1;
    for (UInt32 i = 0; i < loops; ++i) {
        const UInt32 bus = i + 1;
        AUOutputElement* out = GetOutput(bus);
        AUInputElement* in = GetInput(bus);
        if (!out || !in) continue;
        try {
            // The loop buses' own flags do not reach the host's output.
            AudioUnitRenderActionFlags flags = 0;
            if (in->PullInput(flags, _curr_stamp, bus, inFramesToProcess) != noErr) continue;
            if (ProcessesInPlace())
                out->SetBufferList(in->GetBufferList());
            else
                out->PrepareBuffer(inFramesToProcess);
        } catch (...) {
            continue;
        }
        _in_buflist[bus] = &in->GetBufferList();
        _out_buflist[bus] = &out->GetBufferList();
    }

    _engine->process(inFramesToProcess);

    for (UInt32 i = 0; i < kBusCount; ++i) _in_buflist[i] = _out_buflist[i] = nullptr;
    return noErr;
}

bool QuillomatAU::get_transport_info(Quillomat::TransportInfo& info)
{
    double tempo = info.bpm, beat = 0.0;
    info.state = Quillomat::TransportInfo::STOPPED;
    Float64 host_beat = 0.0, host_tempo = 0.0;
    if (CallHostBeatAndTempo(&host_beat, &host_tempo) == noErr) {
        tempo = info.bpm = host_tempo;
        beat = host_beat;
    }
    if (!(tempo > 0.0)) return false;

    const double samples_per_beat = GetSampleRate() / (tempo / 60.0);
    uint64_t framepos = _last_framepos;
    Float32 numerator = 4.0f;
    UInt32 denominator = 4;
    if (CallHostMusicalTimeLocation(nullptr, &numerator, &denominator, nullptr) == noErr) {
        framepos = host_frames(beat * samples_per_beat);
    }
    if (framepos == _last_framepos) {
        info.framepos = host_frames(_curr_stamp.mSampleTime);
    } else {
        info.framepos = framepos;
        _last_framepos = framepos;
    }
    info.state = Quillomat::TransportInfo::ROLLING;
    return true;
}
