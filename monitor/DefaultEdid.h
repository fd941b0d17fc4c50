// The EDID handed to a virtual monitor when its device gives none: an EDID
// 1.3 base block with one detailed timing of 1920 x 1080, the monitor name
// "Usb Display" and an extension count of 1.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kDefaultEdidSize = 128;
extern const uint8_t g_defaultEdid[kDefaultEdidSize];
