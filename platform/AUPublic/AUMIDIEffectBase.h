#pragma once
// An effect that also takes MIDI from its host.
#include <AUPublic/AUEffectBase.h>
#include <AUPublic/AUMIDIBase.h>

class AUMIDIEffectBase : public AUEffectBase, public AUMIDIBase {
public:
    AUMIDIEffectBase(ComponentInstance inInstance, bool inProcessesInPlace = false);

    static ComponentResult ComponentEntryDispatch(ComponentParameters* params, AUMIDIEffectBase* This);
};
