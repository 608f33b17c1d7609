#include <CoreServices/AEDataModel.h>

#include <cstring>
#include <new>

// The layout every copy of this library shares.
namespace {

const UInt32 kListTag = 0x51414c73; // "QALs"

struct Item {
    DescType type;
    Size size;
    UInt8* data;
};

struct List {
    UInt32 tag;
    long count;
    Item* items;
};

List* list_of(const AEDescList* d)
{
    if (!d || d->descriptorType != typeAEList || !d->dataHandle) return nullptr;
    List* l = reinterpret_cast<List*>(d->dataHandle);
    return l->tag == kListTag ? l : nullptr;
}

} // namespace

extern "C" {

OSErr AECreateList(const void* factoringPtr, Size factoredSize, Boolean isRecord, AEDescList* resultList)
{
    if (!resultList) return paramErr;
    resultList->descriptorType = typeNull;
    resultList->dataHandle = nullptr;
    if (factoringPtr || factoredSize || isRecord) return paramErr;
    List* l = new (std::nothrow) List{kListTag, 0, nullptr};
    if (!l) return memFullErr;
    resultList->descriptorType = typeAEList;
    resultList->dataHandle = reinterpret_cast<AEDataStorage>(l);
    return noErr;
}

OSErr AEPutPtr(AEDescList* theAEDescList, long index, DescType typeCode, const void* dataPtr, Size dataSize)
{
    List* l = list_of(theAEDescList);
    if (!l) return errAEWrongDataType;
    if (dataSize < 0 || (dataSize > 0 && !dataPtr)) return paramErr;
    if (index < 0 || index > l->count + 1) return errAEBadListItem;
    UInt8* copy = new (std::nothrow) UInt8[dataSize ? (size_t)dataSize : 1];
    if (!copy) return memFullErr;
    if (dataSize) std::memcpy(copy, dataPtr, (size_t)dataSize);
    if (index >= 1 && index <= l->count) {
        Item& it = l->items[index - 1];
        delete[] it.data;
        it = Item{typeCode, dataSize, copy};
        return noErr;
    }
    Item* grown = new (std::nothrow) Item[(size_t)l->count + 1];
    if (!grown) {
        delete[] copy;
        return memFullErr;
    }
    for (long i = 0; i < l->count; ++i) grown[i] = l->items[i];
    delete[] l->items;
    l->items = grown;
    l->items[l->count++] = Item{typeCode, dataSize, copy};
    return noErr;
}

OSErr AEGetNthPtr(const AEDescList* theAEDescList, long index, DescType desiredType, AEKeyword* theAEKeyword,
                  DescType* typeCode, void* dataPtr, Size maximumSize, Size* actualSize)
{
    const List* l = list_of(theAEDescList);
    if (!l) return errAEWrongDataType;
    if (index < 1 || index > l->count) return errAEBadListItem;
    const Item& it = l->items[index - 1];
    if (desiredType != typeWildCard && desiredType != it.type) return errAECoercionFail;
    if (theAEKeyword) *theAEKeyword = 0;
    if (typeCode) *typeCode = it.type;
    if (actualSize) *actualSize = it.size;
    if (dataPtr && maximumSize > 0) std::memcpy(dataPtr, it.data, (size_t)(maximumSize < it.size ? maximumSize : it.size));
    return noErr;
}

OSErr AEDisposeDesc(AEDesc* theAEDesc)
{
    if (!theAEDesc) return paramErr;
    if (List* l = list_of(theAEDesc)) {
        for (long i = 0; i < l->count; ++i) delete[] l->items[i].data;
        delete[] l->items;
        l->tag = 0;
        delete l;
    }
    theAEDesc->descriptorType = typeNull;
    theAEDesc->dataHandle = nullptr;
    return noErr;
}

} // extern "C"
