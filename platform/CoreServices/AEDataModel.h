#pragma once
// Descriptors and descriptor lists, as a file chooser hands out its selection.
// A list made by one copy of this library is read and disposed of by another,
// so its storage is plain records from the global allocator.
#include <CoreFoundation/MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef FourCharCode DescType;
typedef FourCharCode AEKeyword;
typedef struct OpaqueAEDataStorageType* AEDataStorage;

typedef struct AEDesc {
    DescType descriptorType;
    AEDataStorage dataHandle;
} AEDesc;
typedef AEDesc AEDescList;

enum {
    typeNull = 0x6e756c6c,    // 'null'
    typeAEList = 0x6c697374,  // 'list'
    typeWildCard = 0x2a2a2a2a, // '****'
    typeFSRef = 0x66737266    // 'fsrf'
};

enum {
    errAECoercionFail = -1700,
    errAEWrongDataType = -1703,
    errAEBadListItem = -1705
};

// An empty list (the other arguments are not supported and must be 0).
OSErr AECreateList(const void* factoringPtr, Size factoredSize, Boolean isRecord, AEDescList* resultList);
// index counts from 1; index 0 or one past the end appends.
OSErr AEPutPtr(AEDescList* theAEDescList, long index, DescType typeCode, const void* dataPtr, Size dataSize);
// Copies at most maximumSize bytes of item index (from 1); the item must be of
// desiredType (or typeWildCard). Any out pointer may be null.
OSErr AEGetNthPtr(const AEDescList* theAEDescList, long index, DescType desiredType, AEKeyword* theAEKeyword,
                  DescType* typeCode, void* dataPtr, Size maximumSize, Size* actualSize);
// Frees the storage and leaves a null descriptor.
OSErr AEDisposeDesc(AEDesc* theAEDesc);

#ifdef __cplusplus
}
#endif
