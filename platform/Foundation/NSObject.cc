#include <CoreFoundation/cf_utf8.h>
#include <Foundation/Foundation.h>

#include <cstdio>

NSString* const NSInvalidArgumentException = NSString::literal("NSInvalidArgumentException");
NSString* const NSRangeException = NSString::literal("NSRangeException");

NSObject* NSObject::retain()
{
    if (!_immortal) {
        _refs.fetch_add(1, std::memory_order_relaxed);
    }
    return this;
}

void NSObject::release()
{
    if (_immortal) {
        return;
    }
    if (_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        dealloc();
    }
}

std::string NSObject::description() const
{
    char text[48];
    std::snprintf(text, sizeof text, "<NSObject: %p>", static_cast<const void*>(this));
    return text;
}

void NSObject::dealloc()
{
    delete this;
}

// NSString

NSString* NSString::initWithUTF8String(const char* text)
{
    if (!text) {
        release();
        return nullptr;
    }
    _text = text;
    return this;
}

NSString* NSString::initWithData(NSData* data, NSStringEncoding encoding)
{
    const unsigned char* bytes = data ? static_cast<const unsigned char*>(data->bytes()) : nullptr;
    size_t length = data ? data->length() : 0;
    if (encoding != NSUTF8StringEncoding || !qmcf::valid_utf8(bytes, length)) {
        release();
        return nullptr;
    }
    _text.assign(reinterpret_cast<const char*>(bytes), length);
    return this;
}

NSString* NSString::initWithFormat(NSString* format, va_list arguments)
{
    if (!format) {
        release();
        return nullptr;
    }
    va_list ap;
    va_copy(ap, arguments);
    for (const char* p = format->UTF8String(); *p; ++p) {
        if (p[0] == '%' && p[1] == '@') {
            const NSObject* object = va_arg(ap, const NSObject*);
            _text += object ? object->description() : "(null)";
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            _text += '%';
            ++p;
        } else {
            _text += *p;
        }
    }
    va_end(ap);
    return this;
}

BOOL NSString::isEqualToString(const NSString* other) const
{
    return other && other->_text == _text;
}

BOOL NSString::isEqual(const NSObject* other) const
{
    return isEqualToString(dynamic_cast<const NSString*>(other));
}

NSString* NSString::literal(const char* text)
{
    NSString* s = NSString::alloc()->initWithUTF8String(text);
    s->makeImmortal();
    return s;
}

// NSData

NSData* NSData::initWithBytes(const void* bytes, NSUInteger length)
{
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    _bytes.assign(b, b + (b ? length : 0));
    return this;
}

// NSArray

NSObject* NSArray::objectAtIndex(NSUInteger index) const
{
    if (index >= _objects.size()) {
        NSException::raise(NSRangeException, "index " + std::to_string(index) + " beyond bounds of " +
                                                 std::to_string(_objects.size()) + " elements");
    }
    return _objects[index];
}

void NSArray::dealloc()
{
    for (NSObject* o : _objects) {
        o->release();
    }
    _objects.clear();
    NSObject::dealloc();
}

void NSMutableArray::addObject(NSObject* object)
{
    if (!object) {
        NSException::raise(NSInvalidArgumentException, "attempt to insert nil object");
    }
    _objects.push_back(object->retain());
}

// NSDictionary

NSDictionary* NSDictionary::initWithObjects(NSObject* const* objects, NSObject* const* keys,
                                            NSUInteger count)
{
    for (NSUInteger i = 0; i < count; ++i) {
        if (!objects[i] || !keys[i]) {
            release();
            NSException::raise(NSInvalidArgumentException, "attempt to insert nil object or key");
        }
        _entries.emplace_back(keys[i]->retain(), objects[i]->retain());
    }
    return this;
}

NSObject* NSDictionary::objectForKey(const NSObject* key) const
{
    for (const auto& e : _entries) {
        if (e.first->isEqual(key)) {
            return e.second;
        }
    }
    return nullptr;
}

void NSDictionary::dealloc()
{
    for (auto& e : _entries) {
        e.first->release();
        e.second->release();
    }
    _entries.clear();
    NSObject::dealloc();
}

// NSException

NSException* NSException::initWithName(NSString* name, NSString* reason, NSDictionary* userInfo)
{
    _name = name ? static_cast<NSString*>(name->retain()) : nullptr;
    _reason = reason ? static_cast<NSString*>(reason->retain()) : nullptr;
    _userInfo = userInfo ? static_cast<NSDictionary*>(userInfo->retain()) : nullptr;
    return this;
}

void NSException::raise()
{
    throw this;
}

void NSException::raise(NSString* name, const std::string& reason)
{
    NSString* text = NSString::alloc()->initWithUTF8String(reason.c_str());
    NSException* e = NSException::alloc()->initWithName(name, text, nullptr);
    text->release();
    e->raise();
}

std::string NSException::description() const
{
    return _reason ? _reason->description() : std::string();
}

void NSException::dealloc()
{
    for (NSObject* o : {static_cast<NSObject*>(_name), static_cast<NSObject*>(_reason),
                        static_cast<NSObject*>(_userInfo)}) {
        if (o) {
            o->release();
        }
    }
    NSObject::dealloc();
}

// NSDate

NSDate* NSDate::initWithTimeIntervalSinceNow(NSTimeInterval seconds)
{
    // Some three decades either way: far enough for any limit, near enough
    // for the clock's range.
    const NSTimeInterval far = 1e9;
    seconds = seconds > far ? far : (seconds < -far ? -far : seconds);
    _when = std::chrono::steady_clock::now() +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(seconds));
    return this;
}

NSTimeInterval NSDate::timeIntervalSinceNow() const
{
    return std::chrono::duration<double>(_when - std::chrono::steady_clock::now()).count();
}
