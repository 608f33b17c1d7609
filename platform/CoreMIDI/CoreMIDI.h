#pragma once
// CoreMIDI stand-in: an in-process MIDI system with clients, virtual
// sources and destinations, and ports to reach them.
#include <CoreMIDI/MIDIServices.h>
