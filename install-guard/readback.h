// Readback comparison of the resource partition against the image that was
// written into it.
//
// The partition is always read over its whole 8 MiB, so a partition that
// ends early fails even when the image is small; bytes past the image's end
// are read but compared with nothing. The image is read once, in order.
// Both readers fill a fixed block buffer and return true only when exactly
// the asked length was stored; nothing is allocated per block.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace tavrine {

template <typename DeviceReader, typename ImageReader>
bool verifyMx714ResourceReadback(std::uint32_t size, DeviceReader&& readDevice,
                                 ImageReader&& readImage) {
    constexpr std::uint32_t BLOCK_SIZE = 8192;
    constexpr std::uint32_t PARTITION_SPAN = 8388608;
    constexpr std::uint32_t SMALLEST_IMAGE = 96;

    if (size < SMALLEST_IMAGE || size > PARTITION_SPAN) return false;

    std::array<unsigned char, BLOCK_SIZE> deviceBlock{};
    std::array<unsigned char, BLOCK_SIZE> imageBlock{};

    for (std::uint32_t offset = 0; offset < PARTITION_SPAN; offset += BLOCK_SIZE) {
        if (!readDevice(deviceBlock.data(), BLOCK_SIZE)) return false;
        if (offset >= size) continue;
        const std::uint32_t compared = size - offset < BLOCK_SIZE ? size - offset : BLOCK_SIZE;
        if (!readImage(imageBlock.data(), compared)) return false;
        if (std::memcmp(deviceBlock.data(), imageBlock.data(), compared) != 0) return false;
    }
    return true;
}

}  // namespace tavrine
