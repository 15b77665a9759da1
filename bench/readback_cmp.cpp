// The install guard's readback comparison as a whole process, for timing
// against cmp: compares the 8 MiB PARTITION with IMAGE (its size read from
// the file) through tavrine::verifyMx714ResourceReadback.
//
//   tavrine-readback-cmp PARTITION IMAGE
//
// Exit 0 when they match, 1 when not, 2 when a file cannot be opened.
#include "read_exactly.h"
#include "readback.h"

#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int partition = open(argv[1], O_RDONLY | O_CLOEXEC);
    const int image = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    int status = 2;
    if (partition >= 0 && image >= 0 && fstat(image, &st) == 0) {
        // Anything over 8 MiB is refused by the comparison; keep it over.
        const auto size = static_cast<std::uint32_t>(st.st_size > 0x7fffffff ? 0x7fffffff : st.st_size);
        const bool same = tavrine::verifyMx714ResourceReadback(
            size,
            [partition](unsigned char* b, std::uint32_t n) { return readExactly(partition, b, n); },
            [image](unsigned char* b, std::uint32_t n) { return readExactly(image, b, n); });
        status = same ? 0 : 1;
    }
    if (partition >= 0) close(partition);
    if (image >= 0) close(image);
    return status;
}
