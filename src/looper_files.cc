#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

#include <sndfile.h>

#include <kvo/file_guard.h>

#include "looper.h"
#include "quillomat.h"

namespace Quillomat {

namespace {

// Files move in blocks of this many frames, fewer when the channels would
// make a block larger than BlockSamples.
const nframes_t FileBlockFrames = 65536;
const size_t BlockSamples = (size_t)1 << 20;
// What the audio thread copies for a save in one block, over all channels and
// however many stretches the block has: about 256 KB, well under a block's
// time, so a 40-second stereo loop is copied in about a third of a second.
const nframes_t SaveSamplesPerBlock = 65536;
// A save that finds the loop changed this often gives up.
const unsigned int MaxSaveRestarts = 16;
// Counts a made-up name may take in one second before the save gives up.
const int MaxNameCount = 9999;

nframes_t block_frames(unsigned int chans, sf_count_t frames)
{
    nframes_t n = (nframes_t)(BlockSamples / (chans ? chans : 1));
    n = n < FileBlockFrames ? n : FileBlockFrames;
    n = n > 0 ? n : 1;
    if (frames >= 0 && frames < (sf_count_t)n) {
        n = frames > 0 ? (nframes_t)frames : 1;
    }
    return n;
}

// The open sound file, closed however we leave; the descriptor under it
// stays its owner's.
struct SoundFile {
    SNDFILE* sf = nullptr;
    SF_INFO info = {};

    SoundFile(int fd, int mode, const SF_INFO* fmt)
    {
        if (fmt) {
            info = *fmt;
        }
        sf = fd >= 0 ? sf_open_fd(fd, mode, &info, SF_FALSE) : nullptr;
    }
    ~SoundFile() { close(); }
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;

    bool close()
    {
        const bool ok = !sf || sf_close(sf) == 0;
        sf = nullptr;
        return ok;
    }
};

// Which version of its loop a channel plays now: the processor's current
// chunk and where it starts; the length may grow (recording) without the
// version changing.
struct LoopVersion {
    const void* chunk;
    uint32_t start;
    uint32_t length;
};

LoopVersion loop_version(LADSPA_Handle handle)
{
    LoopVersion v;
    qm_current_loop_version(handle, &v.chunk, &v.start, &v.length);
    return v;
}

// A made-up name for a save of loop `index`, claimed: "qm_" and the time of
// day, the loop's number, and a count from 2 when that is taken. Two loops
// may share a number (one added after another left), and two hosts a folder;
// a name is taken for good as it is claimed, so no save writes over another's.
std::unique_ptr<Kvo::FileSave> claim_made_up_name(unsigned int index, std::string& filename, std::string& why)
{
    char stamp[64];
    char base[200];
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(stamp, sizeof(stamp), "%Y%m%d-%H:%M:%S", &local);
    snprintf(base, sizeof(base), "qm_%s_loop%02d", stamp, (int)index);
    for (int n = 1; n <= MaxNameCount; ++n) {
        const std::string name = base + (n > 1 ? "-" + std::to_string(n) : std::string()) + ".wav";
        auto out = std::make_unique<Kvo::FileSave>(name, Kvo::FileSave::Unnamed, &why, Kvo::FileSave::NewName);
        if (!out->taken()) {
            filename = name;
            return out;
        }
    }
    std::cerr << "cannot save loop " << index << ": " << base << ".wav and its counts up to -" << MaxNameCount
              << " are taken" << std::endl;
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// Saving

int Looper::copy_save_piece(nframes_t limit, bool fresh)
{
    SaveCopy& s = _save;
    if (fresh) {
        s.done = s.offset;
        if (s.offset == 0) {
            // The version and length the whole save keeps to.
            nframes_t frames = _built_chans ? 0xffffffffu : 0;
            for (unsigned int c = 0; c < _built_chans; ++c) {
                const LoopVersion v = loop_version(_instances[c]);
                s.version[c] = v.chunk;
                s.start[c] = v.start;
                frames = v.length < frames ? v.length : frames;
            }
            s.frames = frames;
        }
    }
    for (unsigned int c = 0; c < _built_chans; ++c) {
        const LoopVersion v = loop_version(_instances[c]);
        if (v.chunk != s.version[c] || v.start != s.start[c] || v.length < s.frames) {
            return SaveCopy::Changed;
        }
    }
    const nframes_t end = s.frames - s.offset < s.chunk ? s.frames : s.offset + s.chunk;
    const nframes_t n = end - s.done < limit ? end - s.done : limit;
    for (unsigned int c = 0; c < _built_chans; ++c) {
        float* dst = s.buf + (size_t)c * s.chunk + (s.done - s.offset);
        if (qm_read_current_loop_audio(_instances[c], dst, n, s.done) < n) {
            return SaveCopy::Changed;
        }
    }
    s.done += n;
    return s.done >= end ? SaveCopy::ChunkDone : SaveCopy::Taken;
}

void Looper::serve_save(nframes_t offset)
{
    if (offset == 0) {
        _save_budget = SaveSamplesPerBlock;
    }
    const nframes_t chans = _built_chans ? _built_chans : 1;
    const nframes_t per_chan = _save_budget / chans;
    if (per_chan == 0) {
        return;  // the next block goes on
    }
    int state = _save.state.load(std::memory_order_acquire);
    if (state != SaveCopy::Posted && state != SaveCopy::Taken) {
        return;
    }
    if (!_save.state.compare_exchange_strong(state, SaveCopy::Copying, std::memory_order_acq_rel)) {
        return;  // withdrawn
    }
    const bool fresh = state == SaveCopy::Posted;
    const nframes_t from = fresh ? _save.offset : _save.done;
    const int next = copy_save_piece(per_chan, fresh);
    const nframes_t copied = _save.done > from ? _save.done - from : 0;
    _save_budget -= copied * chans < _save_budget ? copied * chans : _save_budget;
    _save.state.store(next, std::memory_order_release);
}

int Looper::copy_chunk(float* buf, nframes_t chunk, nframes_t offset, uint64_t& quiet_runs)
{
    _save.buf = buf;
    _save.chunk = chunk;
    _save.offset = offset;

    bool fresh = true;
    uint64_t runs = _pub.runs.load(std::memory_order_relaxed);
    if (runs != quiet_runs) {
        // Hand the request to the audio thread, and take it back when
        // nothing runs the looper for a while.
        const double block_secs = _samplerate > 0.0f ? (double)_buffersize / (double)_samplerate : 0.0;
        const auto bound = std::chrono::duration<double>(block_secs * 4.0 > 0.02 ? block_secs * 4.0 : 0.02);
        auto since = std::chrono::steady_clock::now();
        _save.state.store(SaveCopy::Posted, std::memory_order_release);
        for (;;) {
            int state = _save.state.load(std::memory_order_acquire);
            if (state == SaveCopy::ChunkDone || state == SaveCopy::Changed) {
                _save.state.store(SaveCopy::Idle, std::memory_order_relaxed);
                return state;
            }
            const auto now = std::chrono::steady_clock::now();
            const uint64_t seen = _pub.runs.load(std::memory_order_relaxed);
            if (seen != runs) {
                runs = seen;
                since = now;
            } else if (now - since > bound && state != SaveCopy::Copying &&
                       _save.state.compare_exchange_strong(state, SaveCopy::Copying, std::memory_order_acq_rel)) {
                fresh = state == SaveCopy::Posted;
                quiet_runs = runs;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } else {
        _save.state.store(SaveCopy::Copying, std::memory_order_relaxed);
    }

    // Nobody runs the looper: the processors are ours under the loop lock.
    int next;
    {
        Kvo::LockMonitor lm(_loop_lock, __LINE__, __FILE__);
        do {
            next = copy_save_piece(0xffffffffu, fresh);
            fresh = false;
        } while (next == SaveCopy::Taken);
    }
    _save.state.store(SaveCopy::Idle, std::memory_order_release);
    return next;
}

bool Looper::save_loop(std::string filename, LoopFileEvent::FileFormat format)
{
    try {
        std::lock_guard<std::mutex> one_at_a_time(_file_lock);
        if (!_ok) {
            std::cerr << "cannot save loop " << _index << ": the loop is not ready" << std::endl;
            return false;
        }

        SF_INFO fmt = {};
        fmt.samplerate = (int)_driver->get_samplerate();
        fmt.channels = (int)_chan_count;
        fmt.format = SF_FORMAT_WAV | (format == LoopFileEvent::FormatPCM16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);

        const unsigned int chans = _chan_count;
        const nframes_t chunk = block_frames(chans, -1);
        std::vector<float> planar((size_t)chunk * chans);
        std::vector<float> interleaved((size_t)chunk * chans);
        uint64_t quiet_runs = ~(uint64_t)0;

        // Written beside the take it replaces, which stays whole until the
        // new one is; a take that must keep its links or owner gets the new
        // one copied over it at the end. The guard's reason for a failure
        // comes on a line of its own after the one naming the file.
        std::string why;
        auto failed = [&](const char* what) {
            std::cerr << what << filename << std::endl;
            if (!why.empty()) {
                std::cerr << filename << ": " << why << std::endl;
            }
            return false;
        };
        const std::unique_ptr<Kvo::FileSave> out =
            filename.empty() ? claim_made_up_name(_index, filename, why)
                             : std::make_unique<Kvo::FileSave>(filename, Kvo::FileSave::Unnamed, &why);
        if (!out) {
            return false;
        }
        for (unsigned int attempt = 0;; ++attempt) {
            if (attempt > 0 && !out->rewind()) {
                std::cerr << "error writing " << filename << ": " << why << std::endl;
                return false;
            }
            SoundFile file(out->fd(), SFM_WRITE, &fmt);
            if (!file.sf) {
                if (why.empty()) {
                    why = sf_strerror(nullptr);
                }
                return failed("error opening ");
            }
            if (attempt == 0) {
                std::cerr << "opened for write: " << filename << std::endl;
            }
            if (format == LoopFileEvent::FormatPCM16) {
                // Loud loops clip instead of wrapping around.
                sf_command(file.sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
            }

            bool changed = false;
            nframes_t offset = 0;
            do {
                if (copy_chunk(planar.data(), chunk, offset, quiet_runs) == SaveCopy::Changed) {
                    changed = true;
                    break;
                }
                const nframes_t frames = _save.frames;
                const nframes_t n = frames - offset < chunk ? frames - offset : chunk;
                for (nframes_t j = 0; j < n; ++j) {
                    for (unsigned int c = 0; c < chans; ++c) {
                        interleaved[(size_t)j * chans + c] = planar[(size_t)c * chunk + j];
                    }
                }
                if (n > 0 && sf_writef_float(file.sf, interleaved.data(), (sf_count_t)n) != (sf_count_t)n) {
                    std::cerr << "error writing " << filename << ": " << sf_strerror(file.sf) << std::endl;
                    return false;
                }
                offset += n;
            } while (offset < _save.frames);

            if (!changed) {
                if (!file.close() || !out->commit()) {
                    return failed("error closing ");
                }
                return true;
            }
            if (attempt + 1 >= MaxSaveRestarts) {
                std::cerr << "cannot save loop " << _index << ": it kept changing" << std::endl;
                return false;
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "cannot save loop " << _index << ": " << e.what() << std::endl;
        return false;
    }
}

// ---------------------------------------------------------------------------
// Loading

bool Looper::record_file(sf_private_tag* sf, unsigned int file_chans, nframes_t frames, nframes_t block,
                         float* interleaved, float* chanbufs)
{
    const unsigned int kept = file_chans < _chan_count ? file_chans : _chan_count;
    std::vector<float> sink_buf(block);
    std::vector<float> silence_buf(block, 0.0f);
    float* sink = sink_buf.data();
    float* quiet = silence_buf.data();

    Kvo::LockMonitor lm(_loop_lock, __LINE__, __FILE__);

    // The processors run on controls of their own, so `ports` stays the
    // audio thread's: record at once, unsynchronised and without fades.
    LADSPA_Data controls[ControlCount];
    for (int p = 0; p < ControlCount; ++p) {
        controls[p] = _pub.ports[p].load(std::memory_order_relaxed);
    }
    controls[DryLevel] = 0.0f;
    controls[Multi] = -1.0f;
    controls[TriggerThreshold] = 0.0f;
    controls[Sync] = 0.0f;
    controls[FadeSamples] = 0.0f;
    LADSPA_Data slave_sync = 0.0f;
    LADSPA_Data status_sink = 0.0f;

    struct Rewire {
        Looper& l;
        ~Rewire()
        {
            for (unsigned int c = 0; c < l._built_chans; ++c) {
                l.connect_controls(c, l.ports, &l._slave_sync_port, &l._slave_dummy_port);
            }
            // The next run binds the live audio buffers again.
            std::memset(l._bound, 0, sizeof(BoundAudio) * l._built_chans);
        }
    } rewire{*this};

    for (unsigned int c = 0; c < _chan_count; ++c) {
        connect_controls(c, controls, &slave_sync, &status_sink);
        descriptor->connect_port(_instances[c], QM_INPUT, quiet);
        descriptor->connect_port(_instances[c], QM_OUTPUT, sink);
        descriptor->connect_port(_instances[c], QM_SYNC_INPUT, quiet);
        descriptor->connect_port(_instances[c], QM_SYNC_OUTPUT, sink);
    }
    auto command = [&](unsigned int c, int cmd) {
        controls[Multi] = (float)cmd;
        descriptor->run(_instances[c], 0);
    };

    if (frames == 0) {
        // Nothing to record: the loop is left empty (its history stays).
        for (unsigned int c = 0; c < _chan_count; ++c) {
            qm_empty_loop(_instances[c]);
        }
        return true;
    }

    for (unsigned int c = 0; c < _chan_count; ++c) {
        command(c, Event::MUTE);
        command(c, Event::RECORD);
    }

    // Loop channels past the file's take its last channel.
    nframes_t fed = 0;
    while (fed < frames) {
        const nframes_t want = frames - fed < block ? frames - fed : block;
        const sf_count_t got = sf_readf_float(sf, interleaved, want);
        if (got <= 0) {
            break;
        }
        for (unsigned int c = 0; c < kept; ++c) {
            float* dst = chanbufs + (size_t)c * block;
            for (sf_count_t j = 0; j < got; ++j) {
                // A NaN or infinity in the loop would silence all it reaches.
                dst[j] = dsp::finite_or_zero(interleaved[(size_t)j * file_chans + c]);
            }
        }
        for (unsigned int c = 0; c < _chan_count; ++c) {
            const unsigned int src = c < kept ? c : kept - 1;
            descriptor->connect_port(_instances[c], QM_INPUT, chanbufs + (size_t)src * block);
            descriptor->run(_instances[c], (unsigned long)got);
        }
        fed += (nframes_t)got;
    }

    for (unsigned int c = 0; c < _chan_count; ++c) {
        descriptor->connect_port(_instances[c], QM_INPUT, quiet);
        command(c, -1);
        command(c, Event::RECORD);
        // Leaves the processor's last command at -1, where `ports` holds it
        // between commands.
        command(c, -1);
    }
    return fed == frames;
}

bool Looper::load_loop(std::string filename)
{
    try {
        std::lock_guard<std::mutex> one_at_a_time(_file_lock);
        if (!_ok) {
            std::cerr << "cannot load into loop " << _index << ": the loop is not ready" << std::endl;
            return false;
        }

        // Held shared while it is read, so no save writes it meanwhile. The
        // reason comes on a line of its own after the one naming the file.
        std::string why;
        Kvo::RegularFile source(filename, &why);
        SoundFile file(source.fd(), SFM_READ, nullptr);
        if (!file.sf) {
            if (why.empty()) {
                why = sf_strerror(nullptr);
            }
            std::cerr << "error opening " << filename << std::endl;
            std::cerr << filename << ": " << why << std::endl;
            return false;
        }
        std::cerr << "opened " << filename << std::endl;

        // Refused before a sample is read or a buffer is sized by the file.
        const nframes_t rate = _driver->get_samplerate();
        const double free_secs = get_control_value(Event::FreeTime);
        const double free_d = (free_secs > 0.0 && std::isfinite(free_secs)) ? std::floor(rate * free_secs) : 0.0;
        nframes_t free_frames = free_d >= 4294967295.0 ? 0xffffffffu : (nframes_t)free_d;
        // The value is a float in seconds: past 2^23 frames it may read a few
        // frames more than there is.
        free_frames -= free_frames >> 23;
        const SF_INFO& info = file.info;
        if (info.frames > (sf_count_t)free_frames || info.frames < 0) {
            std::cerr << "file is too long for available space: file: " << (long long)info.frames
                      << "  free: " << free_frames << std::endl;
            return false;
        }
        if (info.channels < 1) {
            std::cerr << "no audio in " << filename << std::endl;
            return false;
        }
        // Played back at the host's rate: faster or slower, higher or lower.
        if (info.samplerate != (int)rate) {
            std::cerr << filename << ": recorded at " << info.samplerate << " Hz, loaded as it is at the host's "
                      << rate << " Hz" << std::endl;
        }

        // Buffers sized by what the file holds, never by what it claims.
        const nframes_t frames = (nframes_t)info.frames;
        const unsigned int file_chans = (unsigned int)info.channels;
        const nframes_t block = block_frames(file_chans, info.frames);
        const unsigned int kept = file_chans < _chan_count ? file_chans : _chan_count;
        std::vector<float> interleaved((size_t)block * file_chans);
        std::vector<float> chanbufs((size_t)block * kept);

        // The whole file must read before the loop is touched, so a file that
        // ends early or fails to decode leaves the loop as it was.
        nframes_t got = 0;
        while (got < frames) {
            const nframes_t want = frames - got < block ? frames - got : block;
            const sf_count_t n = sf_readf_float(file.sf, interleaved.data(), want);
            if (n <= 0) {
                break;
            }
            got += (nframes_t)n;
        }
        if (got < frames) {
            std::cerr << "error reading " << filename << ": " << got << " of " << frames << " frames" << std::endl;
            return false;
        }
        if (frames > 0 && sf_seek(file.sf, 0, SEEK_SET) != 0) {
            std::cerr << "error reading " << filename << ": cannot go back to its start" << std::endl;
            return false;
        }

        if (!record_file(file.sf, file_chans, frames, block, interleaved.data(), chanbufs.data())) {
            std::cerr << "error reading " << filename << ": it changed while it was loaded" << std::endl;
            return false;
        }
        // The next run takes the new loop's status and binds the live buffers.
        return true;
    } catch (const std::exception& e) {
        std::cerr << "cannot load " << filename << " into loop " << _index << ": " << e.what() << std::endl;
        return false;
    }
}

} // namespace Quillomat
