#include <AUPublic/AUMIDIEffectBase.h>
#include <AudioUnit/MusicDevice.h>

AUMIDIEffectBase::AUMIDIEffectBase(ComponentInstance inInstance, bool inProcessesInPlace)
    : AUEffectBase(inInstance, inProcessesInPlace)
{
}

ComponentResult AUMIDIEffectBase::ComponentEntryDispatch(ComponentParameters* params, AUMIDIEffectBase* This)
{
    if (!params) return paramErr;
    if (!This) return badComponentInstance;
    switch (params->what) {
    case kMusicDeviceMIDIEventSelect:
        if (params->paramSize < 4 * sizeof(long)) return paramErr;
        return This->MIDIEvent((UInt32)params->params[0], (UInt32)params->params[1], (UInt32)params->params[2],
                               (UInt32)params->params[3]);
    case kComponentCanDoSelect:
        if (params->paramSize >= sizeof(long) && (SInt16)params->params[0] == kMusicDeviceMIDIEventSelect) return 1;
        return AUBase::ComponentEntryDispatch(params, This);
    default:
        return AUBase::ComponentEntryDispatch(params, This);
    }
}
