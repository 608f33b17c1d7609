#pragma once
// An effect that also takes MIDI from its host.
#include <AUPublic/AUEffectBase.h>
#include <AUPublic/AUMIDIBase.h>

class AUMIDIEffectBase : public AUEffectBase, public AUMIDIBase {
public:
    AUMIDIEffectBase(ComponentInstance inInstance, bool inProcessesInPlace = false);

    ComponentResult GetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                    UInt32& outDataSize, Boolean& outWritable) override;
    ComponentResult GetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                void* outData) override;

    static ComponentResult ComponentEntryDispatch(ComponentParameters* params, AUMIDIEffectBase* This);
};
