// Loop processors sized on several threads at once: each gets the memory it
// asked for, with no environment in between.
#include "quillomat_internal.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(ProcessorMemoryThreads, EachInstanceGetsTheMemoryItAskedFor) {
    LADSPA_Descriptor* desc = create_qm_descriptor();
    ASSERT_NE(desc, nullptr);
    // 1000 Hz: 3 s gives 4096 samples, 9 s gives 16384.
    const float secs[2] = {3.0f, 9.0f};
    const uint32_t expect[2] = {4096, 16384};
    std::vector<uint32_t> sizes[2];
    auto build = [&](int k) {
        for (int i = 0; i < 200; ++i) {
            LADSPA_Handle h = instantiateQuillomatWithMemory(desc, 1000, secs[k]);
            sizes[k].push_back(h ? static_cast<QuillomatI*>(h)->lBufferSize : 0);
            cleanupQuillomat(h);
        }
    };
    std::thread a(build, 0), b(build, 1);
    a.join();
    b.join();
    for (int k = 0; k < 2; ++k)
        for (uint32_t s : sizes[k]) ASSERT_EQ(s, expect[k]) << "thread " << k;

    // Nothing usable asked for: the default, also without the environment.
    LADSPA_Handle h = instantiateQuillomatWithMemory(desc, 1000, -1.0f);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<QuillomatI*>(h)->lBufferSize, 65536u);
    cleanupQuillomat(h);
    cleanup_qm_descriptor(desc);
}

} // namespace
