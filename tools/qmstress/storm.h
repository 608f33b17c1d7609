#pragma once
// One plug-in run in real time for `seconds` while a client sends it ordinary
// requests of every kind (loops added and removed, commands, sets and gets,
// sessions and loop files saved and loaded, MIDI bindings, updates) and the
// host restores its state now and then. 0 when it still answers a ping.
namespace qmhost {

int run_storm(double seconds, unsigned seed);

} // namespace qmhost
