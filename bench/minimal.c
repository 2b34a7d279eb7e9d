/* The least a plugin can do: open and read the rule file and the message,
 * and print a score. The plugin's start-up is measured against it. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static long readall(const char* path) {
    char buf[65536];
    long total = 0;
    ssize_t n;
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    while ((n = read(fd, buf, sizeof buf)) > 0) total += n;
    close(fd);
    return total;
}

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    printf("%d\n", (int)((readall(argv[1]) + readall(argv[2])) % 2));
    return 0;
}
