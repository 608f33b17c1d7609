#include <kvo/pathscanner.h>
#include <kvo/transmitter.h>

#include <dirent.h>

using Kvo::error;

PathScanner::PathScanner() : compiled(false) {}

PathScanner::~PathScanner() {
    if (compiled) {
        regfree(&compiled_pattern);
    }
}

bool PathScanner::compile(const std::string& regexp) {
    if (compiled) {
        regfree(&compiled_pattern);
        compiled = false;
    }
    const int err = regcomp(&compiled_pattern, regexp.c_str(), REG_EXTENDED | REG_NOSUB);
    if (err) {
        char msg[256];
        regerror(err, &compiled_pattern, msg, sizeof(msg));
        error << "Cannot compile soundfile regexp for use (" << msg << ")" << endmsg;
        return false;
    }
    compiled = true;
    return true;
}

bool PathScanner::regexp_filter(const std::string& str) {
    return compiled && regexec(&compiled_pattern, str.c_str(), 0, nullptr, 0) == 0;
}

std::vector<std::string*>* PathScanner::operator()(const std::string& dirpath, const std::string& regexp,
                                                   bool match_fullpath, bool return_fullpath, long limit) {
    if (!compile(regexp)) {
        return nullptr;
    }
    return run_scan(dirpath, &PathScanner::regexp_filter, nullptr, nullptr, match_fullpath, return_fullpath, limit);
}

std::vector<std::string*>* PathScanner::operator()(const std::string& dirpath, Filter filter, void* arg,
                                                   bool match_fullpath, bool return_fullpath, long limit) {
    return run_scan(dirpath, nullptr, filter, arg, match_fullpath, return_fullpath, limit);
}

std::vector<std::string*>* PathScanner::run_scan(const std::string& dirpath,
                                                 bool (PathScanner::*memberfilter)(const std::string&), Filter filter,
                                                 void* arg, bool match_fullpath, bool return_fullpath, long limit) {
    if (dirpath.empty() || dirpath[0] == ':') {
        return nullptr;
    }
    std::vector<std::string*>* result = new std::vector<std::string*>;

    std::string::size_type from = 0;
    while (from <= dirpath.size()) {
        std::string::size_type colon = dirpath.find(':', from);
        if (colon == std::string::npos) {
            colon = dirpath.size();
        }
        const std::string dir = dirpath.substr(from, colon - from);
        from = colon + 1;

        DIR* d = dir.empty() ? nullptr : opendir(dir.c_str());
        if (!d) {
            continue;
        }
        while (struct dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            const std::string full = dir + '/' + name;
            const std::string& subject = match_fullpath ? full : name;
            const bool hit = memberfilter ? (this->*memberfilter)(subject) : filter(subject, arg);
            if (hit) {
                result->push_back(new std::string(return_fullpath ? full : name));
            }
        }
        closedir(d);

        if (limit >= 0 && long(result->size()) >= limit) {
            break;
        }
    }
    return result;
}

std::string* PathScanner::take_first(std::vector<std::string*>* res) {
    if (!res) {
        return nullptr;
    }
    std::string* first = nullptr;
    if (!res->empty()) {
        first = res->front();
        res->erase(res->begin());
    }
    vector_delete(res);
    delete res;
    return first;
}

std::string* PathScanner::find_first(const std::string& dirpath, const std::string& regexp, bool match_fullpath,
                                     bool return_fullpath) {
    return take_first((*this)(dirpath, regexp, match_fullpath, return_fullpath, 1));
}

std::string* PathScanner::find_first(const std::string& dirpath, Filter filter, void* arg, bool match_fullpath,
                                     bool return_fullpath) {
    return take_first((*this)(dirpath, filter, arg, match_fullpath, return_fullpath, 1));
}

void vector_delete(std::vector<std::string*>* vec) {
    for (std::string* s : *vec) {
        delete s;
    }
    vec->clear();
}
