#pragma once
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/AEDataModel.h>
#include <CoreServices/Components.h>
#include <CoreServices/Files.h>
