/* Stand-in for the platform's "/bin/getprop" in the fuzz root: notes the
   process that ran it in "/fake/getprop.runs" (its id, a line a run), then
   prints the bytes of "/fake/getprop.out" in one write, whatever property is
   asked. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(void) {
    static char bytes[1 << 16];
    int fd = open("/fake/getprop.runs", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char line[32];
        int length = snprintf(line, sizeof line, "%d\n", (int)getppid());
        if (write(fd, line, (size_t)length) < 0) return 1;
        close(fd);
    }
    fd = open("/fake/getprop.out", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, bytes, sizeof bytes);
    close(fd);
    if (n > 0 && write(1, bytes, (size_t)n) < 0) return 1;
    return 0;
}
