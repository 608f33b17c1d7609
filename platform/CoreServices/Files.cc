#include <CoreFoundation/CFURL.h>
#include <CoreServices/Files.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

extern "C" {

OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory)
{
    if (!path || !ref) return paramErr;
    char resolved[PATH_MAX];
    if (!realpath(reinterpret_cast<const char*>(path), resolved)) return fnfErr;
    size_t n = std::strlen(resolved);
    if (n >= sizeof ref->hidden) return bdNamErr;
    struct stat st;
    if (stat(resolved, &st) != 0) return fnfErr;
    std::memset(ref->hidden, 0, sizeof ref->hidden);
    std::memcpy(ref->hidden, resolved, n);
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize)
{
    if (!ref || !path || maxPathSize == 0) return paramErr;
    size_t n = strnlen(reinterpret_cast<const char*>(ref->hidden), sizeof ref->hidden);
    if (n == 0 || n == sizeof ref->hidden) return paramErr;
    if (n >= maxPathSize) return bdNamErr;
    std::memcpy(path, ref->hidden, n + 1);
    return noErr;
}

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* fsRef)
{
    UInt8 path[sizeof fsRef->hidden];
    if (FSRefMakePath(fsRef, path, sizeof path) != noErr) return nullptr;
    return CFURLCreateFromFileSystemRepresentation(allocator, path, (CFIndex)std::strlen((const char*)path), false);
}

} // extern "C"
