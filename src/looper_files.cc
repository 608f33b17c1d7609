#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <vector>

#include <sndfile.h>

#include "looper.h"
#include "quillomat.h"

namespace Quillomat {

namespace {

const nframes_t FileBlockFrames = 65536;

} // namespace

bool Looper::save_loop(std::string filename, LoopFileEvent::FileFormat format)
{
    if (!_ok) {
        std::cerr << "cannot save loop " << _index << ": the loop is not ready" << std::endl;
        return false;
    }

    if (filename.empty()) {
        char stamp[64];
        char name[200];
        time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        strftime(stamp, sizeof(stamp), "%Y%m%d-%H:%M:%S", &local);
        snprintf(name, sizeof(name), "qm_%s_loop%02d.wav", stamp, (int)_index);
        filename = name;
    }

    // The length port is a float in seconds: past a few million frames it is
    // a frame or more off either way. It only bounds the read; the loop's end
    // is where the processor's copy comes up short.
    const double rate = (double)_driver->get_samplerate();
    const float length = ports[QM_LOOP_LENGTH_OUT];
    const double want = (length > 0.0f && std::isfinite(length)) ? std::floor(rate * length + 0.5) : 0.0;
    const nframes_t expected = want >= 4294967295.0 ? 0xffffffffu : (nframes_t)want;
    const nframes_t slack = expected / (1u << 20) + 2;
    const nframes_t limit = expected > 0xffffffffu - slack ? 0xffffffffu : expected + slack;
    if (expected == 0) {
        std::cerr << "nothing to save: loop " << _index << " is empty" << std::endl;
        return false;
    }

    SF_INFO info = {};
    info.samplerate = (int)_driver->get_samplerate();
    info.channels = (int)_chan_count;
    info.format = SF_FORMAT_WAV | (format == LoopFileEvent::FormatPCM16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);

    SNDFILE* sf = sf_open(filename.c_str(), SFM_WRITE, &info);
    if (!sf) {
        std::cerr << "error opening " << filename << std::endl;
        return false;
    }
    std::cerr << "opened for write: " << filename << std::endl;
    if (format == LoopFileEvent::FormatPCM16) {
        // Loud loops clip instead of wrapping around.
        sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }

    std::vector<std::vector<float>> chanbufs(_chan_count, std::vector<float>(FileBlockFrames));
    std::vector<float> interleaved((size_t)FileBlockFrames * _chan_count);

    bool ok = true;
    nframes_t offset = 0;
    while (offset < limit) {
        const unsigned long asked = (limit - offset) < FileBlockFrames ? (limit - offset) : FileBlockFrames;
        unsigned long n = asked;
        for (unsigned int c = 0; c < _chan_count; ++c) {
            n = qm_read_current_loop_audio(_instances[c], chanbufs[c].data(), n, offset);
        }
        if (n == 0) {
            break;
        }
        for (unsigned long j = 0; j < n; ++j) {
            for (unsigned int c = 0; c < _chan_count; ++c) {
                interleaved[j * _chan_count + c] = chanbufs[c][j];
            }
        }
        const sf_count_t written = sf_writef_float(sf, interleaved.data(), (sf_count_t)n);
        if (written != (sf_count_t)n) {
            std::cerr << "error writing " << filename << ": " << sf_strerror(sf) << std::endl;
            ok = false;
            break;
        }
        offset += (nframes_t)n;
        if (n < asked) {
            break;  // the loop's end
        }
    }
    if (ok && offset < expected && expected - offset > slack) {
        // The loop shrank under us.
        std::cerr << "shorted" << std::endl;
        ok = false;
    }

    if (sf_close(sf) != 0) {
        std::cerr << "error closing " << filename << std::endl;
        ok = false;
    }
    return ok;
}

bool Looper::load_loop(std::string filename)
{
    if (!_ok) {
        std::cerr << "cannot load into loop " << _index << ": the loop is not ready" << std::endl;
        return false;
    }

    SF_INFO info = {};
    SNDFILE* sf = sf_open(filename.c_str(), SFM_READ, &info);
    if (!sf) {
        std::cerr << "error opening " << filename << std::endl;
        return false;
    }
    std::cerr << "opened " << filename << std::endl;

    const nframes_t rate = _driver->get_samplerate();
    const double free_secs = ports[QM_SECS_FREE_OUT];
    const double free_d = (free_secs > 0.0 && std::isfinite(free_secs)) ? std::floor(rate * free_secs) : 0.0;
    nframes_t free_frames = free_d >= 4294967295.0 ? 0xffffffffu : (nframes_t)free_d;
    // The port is a float in seconds: past 2^23 frames it may read a few
    // frames more than there is, and a file that does not quite fit would
    // lose its whole last block with the load reported done.
    free_frames -= free_frames >> 23;

    if (info.frames > (sf_count_t)free_frames) {
        std::cerr << "file is too long for available space: file: " << (long long)info.frames
                  << "  free: " << free_frames << std::endl;
        sf_close(sf);
        return false;
    }
    if (info.frames <= 0 || info.channels < 1) {
        std::cerr << "no audio in " << filename << std::endl;
        sf_close(sf);
        return false;
    }

    // The whole file is read before the loop is touched, so a file that ends
    // early or fails to decode leaves the loop as it was. Only the channels the
    // loop uses are kept.
    const nframes_t frames = (nframes_t)info.frames;
    const unsigned int file_chans = (unsigned int)info.channels;
    const unsigned int kept = file_chans < _chan_count ? file_chans : _chan_count;
    std::vector<std::vector<float>> audio(kept, std::vector<float>(frames));
    std::vector<float> interleaved((size_t)FileBlockFrames * file_chans);

    nframes_t got = 0;
    while (got < frames) {
        const nframes_t want = (frames - got) < FileBlockFrames ? (frames - got) : FileBlockFrames;
        const sf_count_t n = sf_readf_float(sf, interleaved.data(), want);
        if (n <= 0) {
            break;
        }
        for (sf_count_t j = 0; j < n; ++j) {
            for (unsigned int c = 0; c < kept; ++c) {
                // A NaN or infinity in the loop would silence all it reaches.
                const float v = interleaved[(size_t)j * file_chans + c];
                audio[c][got + j] = std::isfinite(v) ? v : 0.0f;
            }
        }
        got += (nframes_t)n;
    }
    sf_close(sf);
    if (got < frames) {
        std::cerr << "error reading " << filename << ": " << got << " of " << frames << " frames" << std::endl;
        return false;
    }

    std::vector<float> sink(FileBlockFrames);
    std::vector<float> silence(FileBlockFrames, 0.0f);

    Kvo::LockMonitor lm(_loop_lock, __LINE__, __FILE__);

    for (unsigned int c = 0; c < _chan_count; ++c) {
        descriptor->connect_port(_instances[c], QM_OUTPUT, sink.data());
        descriptor->connect_port(_instances[c], QM_SYNC_INPUT, silence.data());
        descriptor->connect_port(_instances[c], QM_SYNC_OUTPUT, sink.data());
    }

    // Record at once, unsynchronised and without fades.
    const float saved_thresh = ports[TriggerThreshold];
    const float saved_sync = ports[Sync];
    const float saved_fade = ports[FadeSamples];
    ports[TriggerThreshold] = 0.0f;
    ports[Sync] = 0.0f;
    ports[FadeSamples] = 0.0f;
    _slave_sync_port = 0.0f;

    for (unsigned int c = 0; c < _chan_count; ++c) {
        descriptor->connect_port(_instances[c], QM_INPUT, silence.data());
        ports[Multi] = (float)Event::MUTE;
        descriptor->run(_instances[c], 0);
        ports[Multi] = (float)Event::RECORD;
        descriptor->run(_instances[c], 0);
    }

    // Loop channels past the file's take its last channel.
    for (nframes_t pos = 0; pos < frames; pos += FileBlockFrames) {
        const nframes_t n = (frames - pos) < FileBlockFrames ? (frames - pos) : FileBlockFrames;
        for (unsigned int c = 0; c < _chan_count; ++c) {
            const unsigned int src = c < kept ? c : kept - 1;
            descriptor->connect_port(_instances[c], QM_INPUT, audio[src].data() + pos);
            descriptor->run(_instances[c], n);
        }
    }

    for (unsigned int c = 0; c < _chan_count; ++c) {
        descriptor->connect_port(_instances[c], QM_INPUT, silence.data());
        ports[Multi] = -1.0f;
        descriptor->run(_instances[c], 0);
        ports[Multi] = (float)Event::RECORD;
        descriptor->run(_instances[c], 0);
    }

    ports[TriggerThreshold] = saved_thresh;
    ports[Sync] = saved_sync;
    ports[FadeSamples] = saved_fade;
    _slave_sync_port = 1.0f;

    // The next run takes the command off the port and reconnects live buffers.
    return true;
}

} // namespace Quillomat
