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
    case kMusicDeviceMIDIEventSelect: {
        auto u32 = [params](int i) { return (UInt32)ComponentArgument(params, i, 4); };
        return This->MIDIEvent(u32(0), u32(1), u32(2), u32(3));
    }
    case kComponentCanDoSelect:
        if ((SInt16)ComponentArgument(params, 0, 1) == kMusicDeviceMIDIEventSelect) return 1;
        return AUBase::ComponentEntryDispatch(params, This);
    default:
        return AUBase::ComponentEntryDispatch(params, This);
    }
}
