// Helpers shared by the tests: scratch files, captured output, child runs.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testutil {

// A scratch directory removed with everything in it at the end of the test.
class tempdir {
   public:
    tempdir();
    ~tempdir();
    tempdir(const tempdir&) = delete;
    tempdir& operator=(const tempdir&) = delete;
    const std::string& path() const { return path_; }
    // Writes a file in the directory and returns its path.
    std::string file(const std::string& name, std::string_view content) const;

   private:
    std::string path_;
};

void writefile(const std::string& path, std::string_view content);
// unit repeated, cut to size bytes.
std::string repeated(std::string_view unit, size_t size);
std::string readfile(const std::string& path);
bool exists(const std::string& path);
// The lines of a file's content as the plugin reads them, each through its
// newline.
struct output {
    std::string out;
    std::string err;
    int result = 0;      // the function's result, or the child's exit status
    int signal = 0;      // the signal that ended the child, if any
    long maxrsskib = 0;  // the child's peak resident memory
};

// Runs fn with standard output and standard error captured.
output capture(const std::function<int()>& fn);

struct runoptions {
    bool asnobody = false;                // drop to user nobody when running as root
    std::vector<std::string> env = {};    // NAME=value settings for the child
    std::string stdinfile = "/dev/null";  // the child's standard input
    // Called with the child's pid before the child runs the program.
    std::function<void(int pid)> beforeexec;
};

struct child {
    int pid = -1;
    int out = -1, err = -1;
};

// Starts a program with its two output streams captured.
child startprocess(const std::vector<std::string>& argv, const runoptions& options = {});
output waitprocess(child& c);

inline output runprocess(const std::vector<std::string>& argv, const runoptions& options = {}) {
    child c = startprocess(argv, options);
    return waitprocess(c);
}

}  // namespace testutil
