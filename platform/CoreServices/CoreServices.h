#pragma once
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/Components.h>
