// Reader of the readback benchmarks, as the install guard reads: exactly
// length bytes, going on after short reads, failing on 0 or an error.
#pragma once

#include <cstdint>

#include <unistd.h>

inline bool readExactly(int fd, unsigned char* buffer, std::uint32_t length) {
    std::uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, buffer + done, length - done);
        if (n <= 0) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}
