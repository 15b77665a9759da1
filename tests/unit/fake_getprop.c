/* Stand-in for the platform's "/bin/getprop" in the unit tests' private
   root: records its argument list, waits FAKE_GETPROP_DELAY_MS, prints the
   bytes of "/fake/getprop.out" in one write and exits with
   FAKE_GETPROP_EXIT (default 0). */
#include <stdlib.h>
#include <sys/stat.h>

#include "fake_record.h"

int main(int argc, char** argv) {
    record("/fake/getprop.log", argc, argv);
    const char* delay = getenv("FAKE_GETPROP_DELAY_MS");
    if (delay) usleep((useconds_t)atoi(delay) * 1000u);
    int fd = open("/fake/getprop.out", O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0) {
        char* bytes = malloc((size_t)st.st_size);
        ssize_t got = bytes ? read(fd, bytes, (size_t)st.st_size) : -1;
        if (got > 0 && write(1, bytes, (size_t)got) < 0) {
            /* the reader went away; nothing left to do */
        }
        free(bytes);
    }
    if (fd >= 0) close(fd);
    const char* status = getenv("FAKE_GETPROP_EXIT");
    return status ? atoi(status) : 0;
}
