// The 138-byte quantisation-table payload that the device receives with its
// SetQuantTable request: two DQT-style segments whose 64 entries stand in
// natural (row-major) order rather than T.81's zig-zag order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace jpeg {

class CustomJpeg;

constexpr size_t kQuantTablePayloadSize = 138;
using QuantTablePayload = std::array<uint8_t, kQuantTablePayloadSize>;

QuantTablePayload BuildQuantTablePayload(const CustomJpeg& encoder);

}  // namespace jpeg
