#pragma once
// Clients, endpoints, ports and packet lists. Everything stays in this
// process: bytes sent to a destination reach its read callback, and bytes a
// source announces reach every input port connected to it, in both cases
// at once on the calling thread.
#include <CoreFoundation/CoreFoundation.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned long ByteCount;
typedef unsigned long ItemCount;

typedef UInt32 MIDIObjectRef;
typedef MIDIObjectRef MIDIClientRef;
typedef MIDIObjectRef MIDIPortRef;
typedef MIDIObjectRef MIDIEndpointRef;
typedef UInt64 MIDITimeStamp;

enum {
    kMIDIInvalidClient = -10830,
    kMIDIInvalidPort = -10831,
    kMIDIWrongEndpointType = -10832,
    kMIDIUnknownEndpoint = -10834,
    kMIDIUnknownProperty = -10835
};

#pragma pack(push, 4)
typedef struct MIDIPacket {
    MIDITimeStamp timeStamp;
    UInt16 length;
    Byte data[256]; // a packet may run longer inside a larger list
} MIDIPacket;

typedef struct MIDIPacketList {
    UInt32 numPackets;
    MIDIPacket packet[1];
} MIDIPacketList;
#pragma pack(pop)

typedef struct MIDINotification MIDINotification;
typedef void (*MIDINotifyProc)(const MIDINotification* message, void* refCon);
typedef void (*MIDIReadProc)(const MIDIPacketList* pktlist, void* readProcRefCon, void* srcConnRefCon);

// The endpoint's name.
extern const CFStringRef kMIDIPropertyName;

OSStatus MIDIClientCreate(CFStringRef name, MIDINotifyProc notifyProc, void* notifyRefCon, MIDIClientRef* outClient);
// Disposes of the client's ports and endpoints too.
OSStatus MIDIClientDispose(MIDIClientRef client);

OSStatus MIDIDestinationCreate(MIDIClientRef client, CFStringRef name, MIDIReadProc readProc, void* refCon,
                               MIDIEndpointRef* outDest);
OSStatus MIDISourceCreate(MIDIClientRef client, CFStringRef name, MIDIEndpointRef* outSrc);
OSStatus MIDIEndpointDispose(MIDIEndpointRef endpt);
// A virtual source announces the list to every input port connected to it.
OSStatus MIDIReceived(MIDIEndpointRef src, const MIDIPacketList* pktlist);

ItemCount MIDIGetNumberOfSources(void);
MIDIEndpointRef MIDIGetSource(ItemCount sourceIndex0);
ItemCount MIDIGetNumberOfDestinations(void);
MIDIEndpointRef MIDIGetDestination(ItemCount destIndex0);
// A new string the caller releases.
OSStatus MIDIObjectGetStringProperty(MIDIObjectRef obj, CFStringRef propertyID, CFStringRef* str);

OSStatus MIDIInputPortCreate(MIDIClientRef client, CFStringRef portName, MIDIReadProc readProc, void* refCon,
                             MIDIPortRef* outPort);
OSStatus MIDIOutputPortCreate(MIDIClientRef client, CFStringRef portName, MIDIPortRef* outPort);
OSStatus MIDIPortConnectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon);
OSStatus MIDISend(MIDIPortRef port, MIDIEndpointRef dest, const MIDIPacketList* pktlist);

MIDIPacket* MIDIPacketListInit(MIDIPacketList* pktlist);
// Appends a packet after curPacket; null when it does not fit in listSize.
MIDIPacket* MIDIPacketListAdd(MIDIPacketList* pktlist, ByteCount listSize, MIDIPacket* curPacket,
                              MIDITimeStamp time, ByteCount nData, const Byte* data);

// Packets follow each other on four-byte boundaries.
static inline MIDIPacket* MIDIPacketNext(const MIDIPacket* pkt) {
    return (MIDIPacket*)(((uintptr_t)&pkt->data[pkt->length] + 3) & ~(uintptr_t)3);
}

#ifdef __cplusplus
}
#endif
