#pragma once
// The host clock: a monotonic count of nanoseconds.
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint64_t mach_absolute_time(void);

#ifdef __cplusplus
}
#endif
