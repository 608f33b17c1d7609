#pragma once
// Headless stand-in for the Carbon calls the plug-in's editor view and its
// host make: windows, controls, Carbon events and the Navigation Services
// file chooser. Nothing is shown: what was drawn and asked is recorded, and
// tests press buttons and answer the chooser (Carbon/StandIn.h). Like the
// platform's, everything runs on the main thread.
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>
#include <Carbon/MacWindows.h>
#include <Carbon/Controls.h>
#include <Carbon/CarbonEvents.h>
#include <Carbon/Navigation.h>
