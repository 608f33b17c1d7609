#pragma once
// The object behind a component instance, and the dispatcher an exported
// entry point hands its calls to: open constructs the class, close destroys
// it, every other selector goes to Class::ComponentEntryDispatch.
#include <CoreServices/Components.h>

#include <new>

class ComponentBase {
public:
    explicit ComponentBase(ComponentInstance inInstance) : mComponentInstance(inInstance) {}
    virtual ~ComponentBase() {}
    ComponentBase(const ComponentBase&) = delete;
    ComponentBase& operator=(const ComponentBase&) = delete;

    virtual ComponentResult Version() { return 0; }

protected:
    ComponentInstance mComponentInstance;
};

template <class Class>
class ComponentEntryPoint {
public:
    static ComponentResult Dispatch(ComponentParameters* params, Class* obj)
    {
        if (!params) return paramErr;
        // Nothing thrown inside a plug-in may cross into its host.
        try {
            if (params->what == kComponentOpenSelect) {
                if (obj) return noErr;
                ComponentInstance self = reinterpret_cast<ComponentInstance>(ComponentArgument(params, 0, 1));
                SetComponentInstanceStorage(self, reinterpret_cast<Handle>(new Class(self)));
                return noErr;
            }
            if (!obj) return badComponentInstance;
            if (params->what == kComponentCloseSelect) {
                delete obj;
                return noErr;
            }
            return Class::ComponentEntryDispatch(params, obj);
        } catch (OSStatus err) {
            return err;
        } catch (const std::bad_alloc&) {
            return memFullErr;
        } catch (...) {
            return -1;
        }
    }
};

// Defines the exported entry point Class##Entry; nothing else of the plug-in
// needs to leave its shared object.
#define COMPONENT_ENTRY(Class)                                                                              \
    extern "C" __attribute__((visibility("default"))) ComponentResult Class##Entry(ComponentParameters* params, \
                                                                                 Handle storage);          \
    extern "C" ComponentResult Class##Entry(ComponentParameters* params, Handle storage)                     \
    {                                                                                                        \
        return ComponentEntryPoint<Class>::Dispatch(params, reinterpret_cast<Class*>(storage));             \
    }
