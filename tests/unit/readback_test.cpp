// The install guard's readback comparison against in-memory flash: a flaw
// anywhere in the image's bytes must fail it, wherever the block boundaries
// fall; bytes past the image must not; a partition that ends early fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "readback.h"

namespace {

constexpr std::uint32_t BLOCK = 8192;
constexpr std::uint32_t SPAN = 8388608;

struct Flash {
    const char* label;
    std::uint32_t size;        // image bytes
    std::int64_t flipped;      // partition byte flipped, or -1
    std::uint32_t partition;   // bytes the partition yields before it fails
    std::uint32_t imageShort;  // image bytes missing at its end
    bool expected;
};

void PrintTo(const Flash& row, std::ostream* out) { *out << row.label; }

class Readback : public testing::TestWithParam<Flash> {};

// A reader over bytes that fails, like a short read, past their end.
auto reader(const std::vector<unsigned char>& bytes, std::size_t& at) {
    return [&bytes, &at](unsigned char* block, std::uint32_t length) {
        if (bytes.size() - at < length) return false;
        std::memcpy(block, bytes.data() + at, length);
        at += length;
        return true;
    };
}

TEST_P(Readback, EveryImageByteComparedAndTheWholePartitionRead) {
    const Flash& row = GetParam();
    std::vector<unsigned char> image(row.size - row.imageShort);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + i / 251);
    std::vector<unsigned char> partition(row.partition, 0xa5);
    std::memcpy(partition.data(), image.data(), std::min(image.size(), partition.size()));
    if (row.flipped >= 0) partition[static_cast<std::size_t>(row.flipped)] ^= 0x01;

    std::size_t deviceAt = 0, imageAt = 0;
    EXPECT_EQ(tavrine::verifyMx714ResourceReadback(row.size, reader(partition, deviceAt),
                                                   reader(image, imageAt)),
              row.expected);
}

constexpr std::uint32_t ODD = 3 * BLOCK + 100;  // ends in a partial block

INSTANTIATE_TEST_SUITE_P(Flaws, Readback, testing::Values(
    Flash{"odd size, whole", ODD, -1, SPAN, 0, true},
    Flash{"odd size, first byte", ODD, 0, SPAN, 0, false},
    Flash{"odd size, last byte of a block", ODD, BLOCK - 1, SPAN, 0, false},
    Flash{"odd size, first byte of a block", ODD, BLOCK, SPAN, 0, false},
    Flash{"odd size, in the partial block", ODD, 3 * BLOCK + 50, SPAN, 0, false},
    Flash{"odd size, last image byte", ODD, ODD - 1, SPAN, 0, false},
    Flash{"odd size, first byte past the image", ODD, ODD, SPAN, 0, true},
    Flash{"odd size, last partition byte", ODD, SPAN - 1, SPAN, 0, true},
    Flash{"whole blocks, last image byte", 2 * BLOCK, 2 * BLOCK - 1, SPAN, 0, false},
    Flash{"smallest image, last byte", 96, 95, SPAN, 0, false},
    Flash{"whole partition, last byte", SPAN, SPAN - 1, SPAN, 0, false},
    Flash{"whole partition, whole", SPAN, -1, SPAN, 0, true},
    Flash{"partition ends a block early", ODD, -1, SPAN - BLOCK, 0, false},
    Flash{"partition ends within the image", ODD, -1, 2 * BLOCK, 0, false},
    Flash{"image a byte short", ODD, -1, SPAN, 1, false},
    Flash{"image below the smallest", 95, -1, SPAN, 0, false},
    Flash{"image over the partition", SPAN + 1, -1, SPAN, 1, false}));

}  // namespace
