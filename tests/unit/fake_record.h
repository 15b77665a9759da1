/* Shared by the fake property commands: appends one call record, the
   argument count and then every argument, each zero-terminated, in a single
   write so that records of concurrent calls never interleave. */
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void record(const char* log, int argc, char** argv) {
    char bytes[8192];
    size_t used = (size_t)snprintf(bytes, sizeof bytes, "%d", argc) + 1;
    for (int i = 0; i < argc; ++i) {
        size_t length = strlen(argv[i]) + 1;
        if (used + length > sizeof bytes) break;
        memcpy(bytes + used, argv[i], length);
        used += length;
    }
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, bytes, used) < 0) {
        /* nothing to tell: the test sees the record missing */
    }
    close(fd);
}
