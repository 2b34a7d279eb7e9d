#include "frontend.h"
#include "paths.h"

int main(int argc, char** argv) {
    // The paths are fixed when the plugin is built: the host's command line
    // has no room for them.
    const pst::pluginpaths paths{POSTSENTINEL_RULEFILE, POSTSENTINEL_DEBUGMARKER,
                                 POSTSENTINEL_STATSFILE, POSTSENTINEL_COMPILEDRULES};
    return pst::runplugin(argc, argv, paths);
}
