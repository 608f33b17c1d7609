#pragma once
// What another process has written so far, for tests that follow a host's
// progress through the output it writes instead of through the clock.
#include <sys/types.h>

#include <fstream>
#include <string>

namespace qmtest {

// Bytes the process has handed to write calls so far, or -1.
inline long long bytes_written_by(pid_t pid)
{
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long n;
    while (io >> key >> n)
        if (key == "wchar:") return n;
    return -1;
}

// Frames of an audio file that a host writing blocks of `block` frames of
// `frame_bytes` each has written since it had written `start` bytes, counted
// in whole blocks: the file's header, written again with the first block and
// at the end, is shorter than one.
inline long long frames_written_by(pid_t pid, long long start, long long block, long long frame_bytes)
{
    return (bytes_written_by(pid) - start) / (block * frame_bytes) * block;
}

} // namespace qmtest
