// The effect's saved state, its one parameter (the OSC port) and the GUI
// application's path property.
#include <cstring>
#include <iostream>
#include <sstream>

#include "QuillomatAU.h"
#include "QuillomatAUShared.h"
#include "engine.h"
#include "midi_bridge.h"

namespace {

const char* const kSessionKey = "QMSessionXML";
const char* const kBindingsKey = "QMMidiBindings";
const char* const kAppPathKey = "QMAppPath";

void set_block(CFMutableDictionaryRef dict, const char* key, const std::string& bytes)
{
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
                                  (CFIndex)bytes.size());
    CFDictionarySetValue(dict, __CFStringMakeConstantString(key), data);
    CFRelease(data);
}

// False when the key is missing or holds anything but a data block (which
// is skipped with a message).
bool get_block(CFDictionaryRef dict, const char* key, std::string& out)
{
    CFTypeRef value = CFDictionaryGetValue(dict, __CFStringMakeConstantString(key));
    if (!value) return false;
    if (CFGetTypeID(value) != CFDataGetTypeID()) {
        std::cerr << "saved state: " << key << " is not a data block; skipped" << std::endl;
        return false;
    }
    CFDataRef data = static_cast<CFDataRef>(value);
    const CFIndex length = CFDataGetLength(data);
    const UInt8* bytes = CFDataGetBytePtr(data);
    out.assign(reinterpret_cast<const char*>(bytes), bytes && length > 0 ? (size_t)length : 0);
    return true;
}

} // namespace

void QuillomatAU::publish_port()
{
    SetParameter(kQuillomatOSCPortParameter, _engine->is_ok() ? (float)_engine->get_osc_port() : 0.0f);
}

ComponentResult QuillomatAU::SaveState(CFPropertyListRef* outData)
{
    ComponentResult err = AUBase::SaveState(outData);
    if (err != noErr) return err;
    CFMutableDictionaryRef dict = (CFMutableDictionaryRef)*outData;

    // Until the engine runs, the session is the one waiting for it (restored,
    // or left at clean-up); an engine without loops would lose it.
    std::string text;
    bool have = false;
    if (_engine->is_ok()) {
        have = _engine->save_session("", &text);
    } else if (!_pending_restore.empty()) {
        text = _pending_restore;
        have = true;
    } else if (!_cleanup_session.empty()) {
        text = _cleanup_session;
        have = true;
    }
    if (have) set_block(dict, kSessionKey, text);

    std::ostringstream bindings;
    {
        Kvo::LockMonitor lm(_midi_bridge->bindings_lock(), __LINE__, __FILE__);
        _midi_bridge->bindings().save_bindings(bindings);
    }
    set_block(dict, kBindingsKey, bindings.str());

    std::string path;
    {
        Kvo::LockMonitor lm(_path_lock, __LINE__, __FILE__);
        path = _guiapp_path;
    }
    set_block(dict, kAppPathKey, path);
    return noErr;
}

ComponentResult QuillomatAU::RestoreState(CFPropertyListRef inData)
{
    ComponentResult err = AUBase::RestoreState(inData);
    if (err != noErr) return err;
    // The base took it as a dictionary.
    CFDictionaryRef dict = static_cast<CFDictionaryRef>(inData);

    std::string text;
    if (get_block(dict, kSessionKey, text)) {
        if (_engine->is_ok()) {
            _engine->load_session("", &text);
        } else {
            std::cerr << "doing pending restore" << std::endl;
            _pending_restore = text;
        }
    }
    // The base restored the saved value of parameter 0 too: a port of another run.
    publish_port();

    if (get_block(dict, kBindingsKey, text)) {
        std::istringstream in(text);
        Kvo::LockMonitor lm(_midi_bridge->bindings_lock(), __LINE__, __FILE__);
        _midi_bridge->bindings().load_bindings(in, false);
    }
    if (get_block(dict, kAppPathKey, text)) {
        Kvo::LockMonitor lm(_path_lock, __LINE__, __FILE__);
        _guiapp_path = text;
    }
    return noErr;
}

ComponentResult QuillomatAU::GetParameterInfo(AudioUnitScope inScope, AudioUnitParameterID inParameterID,
                                              AudioUnitParameterInfo& outParameterInfo)
{
    if (inScope != kAudioUnitScope_Global || inParameterID != kQuillomatOSCPortParameter)
        return kAudioUnitErr_InvalidParameter;
    outParameterInfo.flags = kAudioUnitParameterFlag_IsReadable;
    FillInParameterName(outParameterInfo, kParameterOSCPortName, false);
    outParameterInfo.unit = kAudioUnitParameterUnit_Indexed;
    outParameterInfo.minValue = 0.0f;
    outParameterInfo.maxValue = 3000000.0f;
    outParameterInfo.defaultValue = 0.0f;
    return noErr;
}

ComponentResult QuillomatAU::GetParameterValueStrings(AudioUnitScope, AudioUnitParameterID, CFArrayRef*)
{
    return kAudioUnitErr_InvalidProperty;
}

ComponentResult QuillomatAU::GetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                             AudioUnitElement inElement, UInt32& outDataSize, Boolean& outWritable)
{
    if (inID == kQuillomatAppPathProperty) {
        Kvo::LockMonitor lm(_path_lock, __LINE__, __FILE__);
        outDataSize = (UInt32)_guiapp_path.size() + 1;
        outWritable = true;
        return noErr;
    }
    return AUMIDIEffectBase::GetPropertyInfo(inID, inScope, inElement, outDataSize, outWritable);
}

ComponentResult QuillomatAU::GetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                         AudioUnitElement inElement, void* outData)
{
    if (inID == kQuillomatAppPathProperty) {
        Kvo::LockMonitor lm(_path_lock, __LINE__, __FILE__);
        std::memcpy(outData, _guiapp_path.c_str(), _guiapp_path.size() + 1);
        return noErr;
    }
    return AUMIDIEffectBase::GetProperty(inID, inScope, inElement, outData);
}

ComponentResult QuillomatAU::app_path_property(void* outData, UInt32* ioDataSize)
{
    if (!ioDataSize) return paramErr;
    Kvo::LockMonitor lm(_path_lock, __LINE__, __FILE__);
    const UInt32 size = (UInt32)_guiapp_path.size() + 1;
    if (!outData) {
        *ioDataSize = size;
        return noErr;
    }
    // A short buffer gets the start of the path, as any property cut short;
    // the path may have grown since the caller asked for its size.
    const UInt32 n = *ioDataSize < size ? *ioDataSize : size;
    std::memcpy(outData, _guiapp_path.c_str(), n);
    *ioDataSize = n;
    return noErr;
}

ComponentResult QuillomatAU::SetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                         const void* inData, UInt32 inDataSize)
{
    if (inID == kQuillomatAppPathProperty) {
        // Up to the first NUL, and never past the data given.
        const char* text = static_cast<const char*>(inData);
        std::string path(text, strnlen(text, inDataSize));
        Kvo::LockMonitor lm(_path_lock, __LINE__, __FILE__);
        _guiapp_path.swap(path);
        return noErr;
    }
    return AUMIDIEffectBase::SetProperty(inID, inScope, inElement, inData, inDataSize);
}
