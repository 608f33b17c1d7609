#pragma once
// Drives one loop processor instance through its descriptor, as a host does:
// every port bound to a cell or buffer owned here.
#include "quillomat_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace qmtest {

class ProcessorHost {
public:
    // seconds goes to "QM_SAMPLE_TIME" before instantiation.
    ProcessorHost(unsigned long rate, const char* seconds, unsigned long maxBlock = 4096)
        : input(maxBlock, 0.0f), output(maxBlock, 0.0f), syncIn(maxBlock, 0.0f), syncOut(maxBlock, 0.0f) {
        desc = create_qm_descriptor();
        if (seconds) setenv("QM_SAMPLE_TIME", seconds, 1);
        else unsetenv("QM_SAMPLE_TIME");
        handle = desc ? desc->instantiate(desc, rate) : nullptr;
        for (int p = 0; p < QM_INPUT; ++p) ctl[p] = 0.0f;
        ctl[QM_DRY] = 1.0f;
        ctl[QM_WET] = 1.0f;
        ctl[QM_FEEDBACK] = 1.0f;
        ctl[QM_MULTICTRL] = -1.0f;
        ctl[QM_FADE_SAMPLES] = 1.0f;
        ctl[QM_EIGHTH_PER_CYCLE] = 16.0f;
        ctl[QM_NEXT_STATE_OUT] = -1.0f;
        if (handle) {
            for (int p = 0; p < QM_INPUT; ++p) desc->connect_port(handle, p, &ctl[p]);
            desc->connect_port(handle, QM_INPUT, input.data());
            desc->connect_port(handle, QM_OUTPUT, output.data());
            desc->connect_port(handle, QM_SYNC_INPUT, syncIn.data());
            desc->connect_port(handle, QM_SYNC_OUTPUT, syncOut.data());
            desc->activate(handle);
        }
    }
    ~ProcessorHost() {
        if (handle) desc->cleanup(handle);
        cleanup_qm_descriptor(desc);
    }
    ProcessorHost(const ProcessorHost&) = delete;
    ProcessorHost& operator=(const ProcessorHost&) = delete;

    QuillomatI* inst() const { return static_cast<QuillomatI*>(handle); }

    void run(unsigned long n) { desc->run(handle, n); }

    // Writes the command for exactly one run of n frames, then lets the
    // processor see -1 in a run of 0 frames, so that the same command given
    // again is a new command (as the looper delivers them).
    void command(int cmd, unsigned long n = 0) {
        ctl[QM_MULTICTRL] = float(cmd);
        run(n);
        ctl[QM_MULTICTRL] = -1.0f;
        run(0);
    }

    // Plants a finished loop as the current chunk, as a recording leaves it:
    // `length` samples claimed from the memory after the current head,
    // `cycles` cycles, cell i = value(i) (i + 1 when no function), playing
    // from position 0.
    LoopChunk* plantLoop(uint32_t length, float (*value)(uint32_t) = nullptr, uint32_t cycles = 1) {
        QuillomatI* q = inst();
        LoopChunk* c = pushNewLoopChunk(q, 0, nullptr);
        if (!c) return nullptr;
        c->srcloop = nullptr;
        c->lLoopLength = 0;
        if (!ensureLoopSpace(q, c, length, nullptr)) return nullptr;
        c->lLoopLength = length;
        c->lCycles = cycles;
        c->lCycleLength = cycles ? length / cycles : length;
        c->dCurrPos = 0.0;
        for (uint32_t i = 0; i < length; ++i) *qmCell(q, c, i) = value ? value(i) : float(i + 1);
        q->state = STATE_PLAY;
        return c;
    }

    // The current loop as a save would read it.
    std::vector<float> loopAudio() const {
        std::vector<float> out(inst()->headLoopChunk ? inst()->headLoopChunk->lLoopLength : 0);
        out.resize(qm_read_current_loop_audio(handle, out.data(), out.size(), 0));
        return out;
    }

    // Runs n frames of the given input (repeated as needed), keeping the output.
    std::vector<float> play(unsigned long n, float (*in)(unsigned long) = nullptr) {
        std::vector<float> out;
        unsigned long done = 0;
        while (done < n) {
            const unsigned long k = std::min<unsigned long>(n - done, input.size());
            for (unsigned long i = 0; i < k; ++i) input[i] = in ? in(done + i) : 0.0f;
            run(k);
            out.insert(out.end(), output.begin(), output.begin() + k);
            done += k;
        }
        return out;
    }

    int state() const { return int(ctl[QM_STATE_OUT]); }

    LADSPA_Descriptor* desc = nullptr;
    LADSPA_Handle handle = nullptr;
    float ctl[QM_INPUT];
    std::vector<float> input, output, syncIn, syncOut;
};

} // namespace qmtest
