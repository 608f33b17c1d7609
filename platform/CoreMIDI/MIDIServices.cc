#include <CoreMIDI/MIDIServices.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

enum Kind { Client, Source, Destination, InputPort, OutputPort };

struct Object {
    Kind kind;
    MIDIClientRef owner; // 0 for a client
    std::string name;
    MIDIReadProc proc = nullptr;
    void* refCon = nullptr;
    std::vector<std::pair<MIDIEndpointRef, void*>> sources; // input ports
};

struct Registry {
    std::mutex lock;
    std::map<MIDIObjectRef, Object> objects; // refs grow, so this is creation order
    MIDIObjectRef next = 1;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

std::string text(CFStringRef s) {
    if (!s) {
        return std::string();
    }
    char buf[1024];
    return CFStringGetCString(s, buf, sizeof(buf), kCFStringEncodingUTF8) ? std::string(buf) : std::string();
}

OSStatus make(Kind kind, MIDIClientRef owner, CFStringRef name, MIDIReadProc proc, void* refCon,
              MIDIObjectRef* out) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (kind != Client) {
        auto c = r.objects.find(owner);
        if (c == r.objects.end() || c->second.kind != Client) {
            return kMIDIInvalidClient;
        }
    }
    Object o;
    o.kind = kind;
    o.owner = owner;
    o.name = text(name);
    o.proc = proc;
    o.refCon = refCon;
    const MIDIObjectRef ref = r.next++;
    r.objects.emplace(ref, o);
    if (out) {
        *out = ref;
    }
    return noErr;
}

// Removes ref and, for a client, whatever it owns; connections to removed
// sources go too.
void remove_locked(Registry& r, MIDIObjectRef ref) {
    std::vector<MIDIObjectRef> gone{ref};
    for (auto& o : r.objects) {
        if (o.second.owner == ref) {
            gone.push_back(o.first);
        }
    }
    for (MIDIObjectRef g : gone) {
        r.objects.erase(g);
    }
    for (auto& o : r.objects) {
        auto& s = o.second.sources;
        s.erase(std::remove_if(s.begin(), s.end(),
                               [&](const std::pair<MIDIEndpointRef, void*>& c) {
                                   return std::find(gone.begin(), gone.end(), c.first) != gone.end();
                               }),
                s.end());
    }
}

OSStatus dispose(MIDIObjectRef ref, std::initializer_list<Kind> kinds, OSStatus wrong) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto o = r.objects.find(ref);
    if (o == r.objects.end() || std::find(kinds.begin(), kinds.end(), o->second.kind) == kinds.end()) {
        return wrong;
    }
    remove_locked(r, ref);
    return noErr;
}

MIDIEndpointRef nth(Kind kind, ItemCount index) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    for (auto& o : r.objects) {
        if (o.second.kind == kind && index-- == 0) {
            return o.first;
        }
    }
    return 0;
}

ItemCount count(Kind kind) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    ItemCount n = 0;
    for (auto& o : r.objects) {
        n += o.second.kind == kind;
    }
    return n;
}

} // namespace

extern "C" {

const CFStringRef kMIDIPropertyName = CFSTR("name");

OSStatus MIDIClientCreate(CFStringRef name, MIDINotifyProc, void*, MIDIClientRef* outClient) {
    return make(Client, 0, name, nullptr, nullptr, outClient);
}

OSStatus MIDIClientDispose(MIDIClientRef client) { return dispose(client, {Client}, kMIDIInvalidClient); }

OSStatus MIDIDestinationCreate(MIDIClientRef client, CFStringRef name, MIDIReadProc readProc, void* refCon,
                               MIDIEndpointRef* outDest) {
    return make(Destination, client, name, readProc, refCon, outDest);
}

OSStatus MIDISourceCreate(MIDIClientRef client, CFStringRef name, MIDIEndpointRef* outSrc) {
    return make(Source, client, name, nullptr, nullptr, outSrc);
}

OSStatus MIDIEndpointDispose(MIDIEndpointRef endpt) {
    return dispose(endpt, {Source, Destination}, kMIDIUnknownEndpoint);
}

OSStatus MIDIInputPortCreate(MIDIClientRef client, CFStringRef portName, MIDIReadProc readProc, void* refCon,
                             MIDIPortRef* outPort) {
    return make(InputPort, client, portName, readProc, refCon, outPort);
}

OSStatus MIDIOutputPortCreate(MIDIClientRef client, CFStringRef portName, MIDIPortRef* outPort) {
    return make(OutputPort, client, portName, nullptr, nullptr, outPort);
}

OSStatus MIDIPortConnectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto p = r.objects.find(port);
    if (p == r.objects.end() || p->second.kind != InputPort) {
        return kMIDIInvalidPort;
    }
    auto s = r.objects.find(source);
    if (s == r.objects.end() || s->second.kind != Source) {
        return kMIDIUnknownEndpoint;
    }
    p->second.sources.emplace_back(source, connRefCon);
    return noErr;
}

OSStatus MIDIReceived(MIDIEndpointRef src, const MIDIPacketList* pktlist) {
    struct Call {
        MIDIReadProc proc;
        void* refCon;
        void* connRefCon;
    };
    std::vector<Call> calls;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> hold(r.lock);
        auto s = r.objects.find(src);
        if (s == r.objects.end()) {
            return kMIDIUnknownEndpoint;
        }
        if (s->second.kind != Source) {
            return kMIDIWrongEndpointType;
        }
        for (auto& o : r.objects) {
            for (auto& c : o.second.sources) {
                if (c.first == src && o.second.proc) {
                    calls.push_back({o.second.proc, o.second.refCon, c.second});
                }
            }
        }
    }
    // Called without the lock, so a callback may use this interface itself.
    for (const Call& c : calls) {
        c.proc(pktlist, c.refCon, c.connRefCon);
    }
    return noErr;
}

OSStatus MIDISend(MIDIPortRef port, MIDIEndpointRef dest, const MIDIPacketList* pktlist) {
    MIDIReadProc proc = nullptr;
    void* refCon = nullptr;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> hold(r.lock);
        auto p = r.objects.find(port);
        if (p == r.objects.end() || p->second.kind != OutputPort) {
            return kMIDIInvalidPort;
        }
        auto d = r.objects.find(dest);
        if (d == r.objects.end()) {
            return kMIDIUnknownEndpoint;
        }
        if (d->second.kind != Destination) {
            return kMIDIWrongEndpointType;
        }
        proc = d->second.proc;
        refCon = d->second.refCon;
    }
    if (proc) {
        proc(pktlist, refCon, nullptr);
    }
    return noErr;
}

ItemCount MIDIGetNumberOfSources(void) { return count(Source); }
MIDIEndpointRef MIDIGetSource(ItemCount i) { return nth(Source, i); }
ItemCount MIDIGetNumberOfDestinations(void) { return count(Destination); }
MIDIEndpointRef MIDIGetDestination(ItemCount i) { return nth(Destination, i); }

OSStatus MIDIObjectGetStringProperty(MIDIObjectRef obj, CFStringRef propertyID, CFStringRef* str) {
    if (!CFEqual(propertyID, kMIDIPropertyName)) {
        return kMIDIUnknownProperty;
    }
    std::string name;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> hold(r.lock);
        auto o = r.objects.find(obj);
        if (o == r.objects.end()) {
            return kMIDIUnknownEndpoint;
        }
        name = o->second.name;
    }
    *str = CFStringCreateWithCString(kCFAllocatorDefault, name.c_str(), kCFStringEncodingUTF8);
    return noErr;
}

MIDIPacket* MIDIPacketListInit(MIDIPacketList* pktlist) {
    pktlist->numPackets = 0;
    return &pktlist->packet[0];
}

MIDIPacket* MIDIPacketListAdd(MIDIPacketList* pktlist, ByteCount listSize, MIDIPacket* curPacket,
                              MIDITimeStamp time, ByteCount nData, const Byte* data) {
    MIDIPacket* p = pktlist->numPackets == 0 ? curPacket : MIDIPacketNext(curPacket);
    const ByteCount end = ByteCount((const Byte*)p - (const Byte*)pktlist) + offsetof(MIDIPacket, data) + nData;
    if (nData > 0xFFFF || end > listSize) {
        return nullptr;
    }
    p->timeStamp = time;
    p->length = UInt16(nData);
    std::memcpy(p->data, data, nData);
    pktlist->numPackets++;
    return p;
}
}
