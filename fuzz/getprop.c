/* Stand-in for the platform's "/bin/getprop" in the fuzz root: prints the
   bytes of "/fake/getprop.out" in one write, whatever property is asked. */
#include <fcntl.h>
#include <unistd.h>

int main(void) {
    static char bytes[1 << 16];
    int fd = open("/fake/getprop.out", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, bytes, sizeof bytes);
    close(fd);
    if (n > 0 && write(1, bytes, (size_t)n) < 0) return 1;
    return 0;
}
