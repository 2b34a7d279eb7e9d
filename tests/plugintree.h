// The plugin under test and the files compiled into it, inside the build tree.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testutil.h"

namespace plugintree {

inline const std::string plugin = PLUGIN_EXE;
inline const std::string rulefile = TREE_CONFDIR "/blocklist.local";
inline const std::string debugmarker = TREE_CONFDIR "/blocklist.local.debug";
inline const std::string statsfile = TREE_SPOOLDIR "/STATS";
inline const std::string spooldir = TREE_SPOOLDIR;

// Puts the tree into a known state for one test and clears it afterwards.
struct scope {
    explicit scope(const std::string& rules = "") {
        clear();
        if (!rules.empty()) testutil::writefile(rulefile, rules);
    }
    ~scope() { clear(); }
    static void clear() {
        ::unlink(rulefile.c_str());
        ::unlink((rulefile + ".compiled").c_str());
        ::unlink(debugmarker.c_str());
        ::unlink(statsfile.c_str());
    }
};

// PLUGIN_WRAPPER, when set, runs the plugin under another program (valgrind).
inline std::vector<std::string> command(std::vector<std::string> args) {
    std::vector<std::string> argv;
    if (const char* wrapper = std::getenv("PLUGIN_WRAPPER")) {
        std::string word;
        for (const char* p = wrapper;; ++p) {
            if (*p == ' ' || *p == '\0') {
                if (!word.empty()) argv.push_back(word);
                word.clear();
                if (*p == '\0') break;
            } else {
                word += *p;
            }
        }
    }
    argv.push_back(plugin);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

inline testutil::output scan(const std::string& message, testutil::runoptions options = {}) {
    return testutil::runprocess(command({"-scan", "a", "b", "c", message}), options);
}

}  // namespace plugintree
