#include "testutil.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testutil {

tempdir::tempdir() {
    std::string pattern = std::filesystem::temp_directory_path() / "pstXXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);
}

tempdir::~tempdir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string tempdir::file(const std::string& name, std::string_view content) const {
    std::string p = path_ + "/" + name;
    writefile(p, content);
    return p;
}

void writefile(const std::string& path, std::string_view content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string readfile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

int scratchfd() {
    FILE* f = std::tmpfile();
    if (!f) throw std::runtime_error("tmpfile failed");
    const int fd = ::dup(fileno(f));
    std::fclose(f);
    return fd;
}

std::string drain(int fd) {
    std::string s;
    ::lseek(fd, 0, SEEK_SET);
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return s;
}

}  // namespace

output capture(const std::function<int()>& fn) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int out = scratchfd(), err = scratchfd();
    const int savedout = ::dup(1), savederr = ::dup(2);
    ::dup2(out, 1);
    ::dup2(err, 2);
    output o;
    o.result = fn();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedout, 1);
    ::dup2(savederr, 2);
    ::close(savedout);
    ::close(savederr);
    o.out = drain(out);
    o.err = drain(err);
    return o;
}

child startprocess(const std::vector<std::string>& argv, const runoptions& options) {
    child c;
    c.out = scratchfd();
    c.err = scratchfd();
    int go[2];
    if (::pipe(go) != 0) throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    c.pid = ::fork();
    if (c.pid == 0) {
        ::close(go[1]);
        char byte;
        if (::read(go[0], &byte, 1) != 1) ::_exit(125);
        const int in = ::open(options.stdinfile.c_str(), O_RDONLY);
        if (in < 0) ::_exit(124);
        ::dup2(in, 0);
        ::dup2(c.out, 1);
        ::dup2(c.err, 2);
        if (options.asnobody && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(126);
        for (const auto& e : options.env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(go[0]);
    if (options.beforeexec) options.beforeexec(c.pid);
    const char byte = 'g';
    if (::write(go[1], &byte, 1) != 1) throw std::runtime_error("cannot start child");
    ::close(go[1]);
    return c;
}

std::string repeated(std::string_view unit, size_t size) {
    std::string s;
    s.reserve(size + unit.size());
    while (s.size() < size) s += unit;
    s.resize(size);
    return s;
}

output waitprocess(child& c) {
    int status = 0;
    struct rusage usage {};
    ::wait4(c.pid, &status, 0, &usage);
    output o;
    o.maxrsskib = usage.ru_maxrss;
    if (WIFEXITED(status)) o.result = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
    o.out = drain(c.out);
    o.err = drain(c.err);
    c = child{};
    return o;
}

}  // namespace testutil
