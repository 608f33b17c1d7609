#pragma once
#include <cstddef>

#pragma GCC visibility push(default)

typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef bool BOOL;
constexpr BOOL YES = true;
constexpr BOOL NO = false;
typedef double NSTimeInterval;

#pragma GCC visibility pop
