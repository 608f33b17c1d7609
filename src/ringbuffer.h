#pragma once
// The program's queues use the support library's ring buffer.
#include <kvo/ringbuffer.h>
