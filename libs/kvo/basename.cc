#include <kvo/basename.h>
#include <kvo/dirname.h>
#include <kvo/mountpoint.h>

#include <cstdlib>
#include <cstring>

namespace Kvo {

char* basename(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return strdup(slash ? slash + 1 : path);
}

std::string basename(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string basename_nosuffix(const std::string& path) {
    const std::string base = Kvo::basename(path);
    return base.substr(0, base.rfind('.'));
}

char* dirname(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) {
        return strdup(path);
    }
    if (slash[1] == '\0') {
        return strdup("");
    }
    return strndup(path, std::size_t(slash - path));
}

std::string dirname(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

std::string mountpoint(const std::string&) { return "/"; }

} // namespace Kvo
