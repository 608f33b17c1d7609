#pragma once
// The program's locks are the support library's.
#include <kvo/lockmonitor.hpp>
