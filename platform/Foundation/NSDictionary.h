#pragma once
#include <utility>
#include <vector>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

// Small immutable map; keys are compared with isEqual.
class NSDictionary : public NSObject {
public:
    static NSDictionary* alloc() { return new NSDictionary(); }
    NSDictionary* init() { return this; }
    NSDictionary* initWithObjects(NSObject* const* objects, NSObject* const* keys, NSUInteger count);

    NSUInteger count() const { return _entries.size(); }
    // nullptr when absent.
    NSObject* objectForKey(const NSObject* key) const;

protected:
    NSDictionary() = default;
    void dealloc() override;

private:
    std::vector<std::pair<NSObject*, NSObject*>> _entries; // key, object
};

#pragma GCC visibility pop
