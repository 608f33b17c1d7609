#pragma once
#include <cstddef>

typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef bool BOOL;
constexpr BOOL YES = true;
constexpr BOOL NO = false;
typedef double NSTimeInterval;
