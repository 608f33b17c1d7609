#pragma once
#include <vector>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

// Holds its elements retained.
class NSArray : public NSObject {
public:
    static NSArray* alloc() { return new NSArray(); }
    NSArray* init() { return this; }

    NSUInteger count() const { return _objects.size(); }
    // Raises NSRangeException past the end.
    NSObject* objectAtIndex(NSUInteger index) const;

protected:
    NSArray() = default;
    void dealloc() override;

    std::vector<NSObject*> _objects;
};

class NSMutableArray : public NSArray {
public:
    static NSMutableArray* alloc() { return new NSMutableArray(); }
    NSMutableArray* init() { return this; }

    // Raises NSInvalidArgumentException for nullptr.
    void addObject(NSObject* object);

protected:
    NSMutableArray() = default;
};

#pragma GCC visibility pop
