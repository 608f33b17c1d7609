#pragma once
// Lists the entries of a colon-separated list of directories that match a
// regular expression or a filter.

#include <regex.h>

#include <string>
#include <vector>

class PathScanner {
  public:
    typedef bool (*Filter)(const std::string&, void* arg);

    PathScanner();
    ~PathScanner();

    PathScanner(const PathScanner&) = delete;
    PathScanner& operator=(const PathScanner&) = delete;

    // Every result is a new vector of new strings that the caller owns (see
    // vector_delete), or null when the path list is empty or, for a regular
    // expression, when it does not compile. A limit of 0 or more stops the
    // scan after the directory in which that many were found.
    std::vector<std::string*>* operator()(const std::string& dirpath, const std::string& regexp,
                                          bool match_fullpath = true, bool return_fullpath = true, long limit = -1);
    std::vector<std::string*>* operator()(const std::string& dirpath, Filter filter, void* arg,
                                          bool match_fullpath = true, bool return_fullpath = true, long limit = -1);

    // The first match as a new string the caller owns, or null.
    std::string* find_first(const std::string& dirpath, const std::string& regexp, bool match_fullpath = true,
                            bool return_fullpath = true);
    std::string* find_first(const std::string& dirpath, Filter filter, void* arg, bool match_fullpath = true,
                            bool return_fullpath = true);

  protected:
    bool regexp_filter(const std::string& str);
    std::vector<std::string*>* run_scan(const std::string& dirpath, bool (PathScanner::*memberfilter)(const std::string&),
                                        Filter filter, void* arg, bool match_fullpath, bool return_fullpath, long limit);

  private:
    regex_t compiled_pattern;
    bool compiled;

    bool compile(const std::string& regexp);
    static std::string* take_first(std::vector<std::string*>* res);
};

// Deletes every string vec holds and empties it; vec itself stays.
void vector_delete(std::vector<std::string*>* vec);
