#pragma once
// A property list is a tree of dictionaries, arrays, strings, data blocks and
// numbers (CFPropertyListRef is declared with the base types).
#include <CoreFoundation/CFBase.h>
