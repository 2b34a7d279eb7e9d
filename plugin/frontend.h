// The plugin's process entry: argument checks, the -id handshake and -scan.
#pragma once

namespace pst {

struct pluginpaths {
    const char* rulefile;
    const char* debugmarker;
    const char* statsfile;
    const char* compiledrules;  // used only when it fits the rule file exactly
};

// Runs one host command and returns the exit status. Everything the host reads
// goes to standard output.
int runplugin(int argc, char** argv, const pluginpaths& paths);

}  // namespace pst
