#include <CoreServices/Components.h>
#include <CoreServices/StandIn.h>

#include <new>

// Both records start with a tag, so a pointer handed in where one is expected
// can be told apart from the other kind and from a closed instance. A plug-in
// links its own copy of this file and reads the records its host made, so the
// records hold no pointers into this copy's code.
namespace {

const UInt32 kComponentTag = 0x51436f6d;  // "QCom"
const UInt32 kInstanceTag = 0x51496e73;   // "QIns"

} // namespace

struct ComponentRecord {
    UInt32 tag;
    ComponentDescription description;
    ComponentRoutineProcPtr entry;
    long open_instances;
};

struct ComponentInstanceRecord {
    UInt32 tag;
    Component component;
    Handle storage;
};

namespace {

bool valid(Component c) { return c && c->tag == kComponentTag; }
bool valid(ComponentInstance ci) { return ci && ci->tag == kInstanceTag; }

// Open and close carry the instance as their one argument.
ComponentResult call(ComponentInstance ci, SInt16 what) { return CoreServicesStandIn::call(ci, what, ci); }

} // namespace

extern "C" {

Component RegisterComponent(ComponentDescription* cd, ComponentRoutineUPP componentEntryPoint, SInt16, Handle,
                            Handle, Handle)
{
    if (!cd || !componentEntryPoint) return nullptr;
    Component c = new (std::nothrow) ComponentRecord{kComponentTag, *cd, componentEntryPoint, 0};
    return c;
}

OSErr UnregisterComponent(Component aComponent)
{
    if (!valid(aComponent)) return invalidComponentID;
    if (aComponent->open_instances > 0) return validInstancesExist;
    aComponent->tag = 0;
    delete aComponent;
    return noErr;
}

OSErr GetComponentInfo(Component aComponent, ComponentDescription* cd, Handle, Handle, Handle)
{
    Component c = aComponent;
    ComponentInstance ci = reinterpret_cast<ComponentInstance>(aComponent);
    if (c && c->tag == kInstanceTag) c = ci->component;
    if (!valid(c)) return invalidComponentID;
    if (cd) *cd = c->description;
    return noErr;
}

OSErr OpenAComponent(Component aComponent, ComponentInstance* ci)
{
    if (!ci) return paramErr;
    *ci = nullptr;
    if (!valid(aComponent)) return invalidComponentID;
    ComponentInstance inst = new (std::nothrow) ComponentInstanceRecord{kInstanceTag, aComponent, nullptr};
    if (!inst) return memFullErr;
    ComponentResult err = call(inst, kComponentOpenSelect);
    if (err != noErr) {
        // An open that failed after setting storage still gets its close.
        if (inst->storage) call(inst, kComponentCloseSelect);
        inst->tag = 0;
        delete inst;
        return (OSErr)err == err ? (OSErr)err : (OSErr)paramErr;
    }
    ++aComponent->open_instances;
    *ci = inst;
    return noErr;
}

OSErr CloseComponent(ComponentInstance aComponentInstance)
{
    if (!valid(aComponentInstance)) return (OSErr)paramErr;
    ComponentResult err = call(aComponentInstance, kComponentCloseSelect);
    --aComponentInstance->component->open_instances;
    aComponentInstance->tag = 0;
    delete aComponentInstance;
    return (OSErr)err == err ? (OSErr)err : (OSErr)paramErr;
}

Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance)
{
    return valid(aComponentInstance) ? aComponentInstance->storage : nullptr;
}

void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage)
{
    if (valid(aComponentInstance)) aComponentInstance->storage = theStorage;
}

} // extern "C"

ComponentResult CoreServicesStandIn::callComponent(ComponentInstance ci, ComponentParameters* cp)
{
    if (!valid(ci) || !cp) return badComponentInstance;
    return ci->component->entry(cp, ci->storage);
}
