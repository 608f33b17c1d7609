#include <CoreServices/AEDataModel.h>

#include <cstdlib>
#include <cstring>

// The layout every copy of this library shares.
namespace {

const UInt32 kListTag = 0x51414c73; // "QALs"

struct Item {
    DescType type;
    Size size;
    void* data;
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
    List* l = static_cast<List*>(std::calloc(1, sizeof(List)));
    if (!l) return memFullErr;
    l->tag = kListTag;
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
    void* copy = std::malloc(dataSize ? (size_t)dataSize : 1);
    if (!copy) return memFullErr;
    if (dataSize) std::memcpy(copy, dataPtr, (size_t)dataSize);
    if (index >= 1 && index <= l->count) {
        Item& it = l->items[index - 1];
        std::free(it.data);
        it = Item{typeCode, dataSize, copy};
        return noErr;
    }
    Item* grown = static_cast<Item*>(std::realloc(l->items, sizeof(Item) * (size_t)(l->count + 1)));
    if (!grown) {
        std::free(copy);
        return memFullErr;
    }
    l->items = grown;
    l->items[l->count++] = Item{typeCode, dataSize, copy};
    return noErr;
}

OSErr AECountItems(const AEDescList* theAEDescList, long* theCount)
{
    const List* l = list_of(theAEDescList);
    if (!l) return errAEWrongDataType;
    if (!theCount) return paramErr;
    *theCount = l->count;
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
        for (long i = 0; i < l->count; ++i) std::free(l->items[i].data);
        std::free(l->items);
        l->tag = 0;
        std::free(l);
    }
    theAEDesc->descriptorType = typeNull;
    theAEDesc->dataHandle = nullptr;
    return noErr;
}

} // extern "C"
