// The two formats Brisel exchanges with the kernel-mode display driver:
// AdapterPrivateData (the payload of the runtime's adapter-information query)
// and EscapePacket (the private data of every pfnEscapeCb call), with their
// command numbers and field offsets. Both are little-endian and their offsets
// are part of the contract with the kernel-mode driver, so every one is
// pinned here. Thread-neutral (declarations only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brisel {

constexpr uint32_t ESCAPE_MAGIC_HEAD = 0x63736378;  // bytes "xcsc"
constexpr uint32_t ESCAPE_MAGIC_TAIL = 0x78637363;  // bytes "cscx"

// UTF-16 code units of one driver-name list.
constexpr std::size_t kUmdNameListUnits = 1040;

struct AdapterPrivateData {
    uint32_t magic;  // set by Brisel
    uint32_t size;  // set by Brisel
    uint32_t request;  // set by Brisel
    uint32_t vendorId;
    uint32_t reserved0;
    uint32_t osMajor;
    uint32_t osMinor;
    uint8_t reserved1[264];
    uint32_t firstProxySourceId;
    uint32_t reserved2;
    wchar_t umdNames[kUmdNameListUnits];  // multi-string: D3D9, D3D10, D3D11, D3D12 driver
    uint32_t reserved3;
    wchar_t umdNamesWow[kUmdNameListUnits];  // same, for a 32-bit process on 64-bit Windows
    uint8_t fallbackMode;
    uint8_t reserved4[3];
    uint32_t tailMagic;  // set by Brisel
};

constexpr uint32_t kAdapterPrivateDataSize = 4472;
constexpr uint32_t kAdapterPrivateDataRequest = 1;
constexpr uint32_t kVendorNvidia = 0x10DE;

static_assert(sizeof(wchar_t) == 2, "the name lists are UTF-16");
static_assert(sizeof(AdapterPrivateData) == kAdapterPrivateDataSize);
static_assert(offsetof(AdapterPrivateData, magic) == 0);
static_assert(offsetof(AdapterPrivateData, size) == 4);
static_assert(offsetof(AdapterPrivateData, request) == 8);
static_assert(offsetof(AdapterPrivateData, vendorId) == 12);
static_assert(offsetof(AdapterPrivateData, osMajor) == 20);
static_assert(offsetof(AdapterPrivateData, osMinor) == 24);
static_assert(offsetof(AdapterPrivateData, firstProxySourceId) == 292);
static_assert(offsetof(AdapterPrivateData, umdNames) == 300);
static_assert(offsetof(AdapterPrivateData, umdNamesWow) == 2384);
static_assert(offsetof(AdapterPrivateData, fallbackMode) == 4464);
static_assert(offsetof(AdapterPrivateData, tailMagic) == 4468);

// ---------------------------------------------------------------------------
// EscapePacket: 88 bytes, zero-filled before its fields are set.

enum EscapeCommand : uint32_t {
    kEscQueryActiveSourceMask = 0,
    kEscRegisterShadowBuffer = 1,
    kEscReleaseShadowBuffer = 2,
    kEscQueryAllocationInfo = 9,
    kEscQueryAllocationSourceMask = 10,
    kEscBltPresentDone = 11,
    kEscSetDisplayModeBegin = 12,
    kEscSetDisplayModeEnd = 13,
    kEscProxySourcePrimaryCreate = 14,
    kEscOtherSourcePrimaryCreate = 15,
};

constexpr uint32_t kEscapePacketSize = 88;

struct EscapePacket {
    uint32_t packetSize;
    uint32_t magic;
    uint32_t command;
    uint8_t fields[68];  // command fields, offsets 12..79 of the packet
    uint32_t tailMagic;
    uint32_t zero;

    // Field access by packet offset (the offsets the command tables name).
    void SetU32(std::size_t offset, uint32_t value) { std::memcpy(Field(offset, 4), &value, 4); }
    void SetU64(std::size_t offset, uint64_t value) { std::memcpy(Field(offset, 8), &value, 8); }
    void SetU8(std::size_t offset, uint8_t value) { *static_cast<uint8_t*>(Field(offset, 1)) = value; }
    uint32_t GetU32(std::size_t offset) const
    {
        uint32_t value;
        std::memcpy(&value, const_cast<EscapePacket*>(this)->Field(offset, 4), 4);
        return value;
    }

private:
    // Offsets are compile-time constants of this file; an offset outside the
    // command area is a programming error and lands on the first field byte
    // rather than past the packet.
    void* Field(std::size_t offset, std::size_t width)
    {
        if (offset < 12 || offset + width > 80) offset = 12;
        return fields + (offset - 12);
    }
};

static_assert(sizeof(EscapePacket) == kEscapePacketSize);
static_assert(offsetof(EscapePacket, command) == 8);
static_assert(offsetof(EscapePacket, fields) == 12);
static_assert(offsetof(EscapePacket, tailMagic) == 80);
static_assert(offsetof(EscapePacket, zero) == 84);

// Field offsets inside the packet, per command.
namespace esc {
constexpr std::size_t kActiveSourceMask = 12;  // answer of command 0

constexpr std::size_t kAllocation = 12;  // commands 1, 2, 9, 10, 11, 12
constexpr std::size_t kBufferSize = 16;  // commands 1, 2
constexpr std::size_t kSourceMask = 20;  // commands 1, 2
constexpr std::size_t kWidth = 24;  // commands 1, 2
constexpr std::size_t kHeight = 28;  // commands 1, 2
constexpr std::size_t kFormat = 32;  // commands 1, 2
constexpr std::size_t kPitch = 36;  // command 1
constexpr std::size_t kBufferAddress = 48;  // command 1, 64-bit

constexpr std::size_t kInfoAnswer = 12;  // command 9 answer: 32 bytes from here
constexpr std::size_t kInfoAnswerBytes = 32;
constexpr std::size_t kInfoWidth = 16;
constexpr std::size_t kInfoHeight = 20;
constexpr std::size_t kInfoFormat = 24;

constexpr std::size_t kAllocationSourceMask = 16;  // command 10 answer

constexpr std::size_t kRefreshNumerator = 16;  // command 12
constexpr std::size_t kRefreshDenominator = 20;  // command 12
constexpr std::size_t kModeSourceId = 24;  // command 12, answer of 13

constexpr std::size_t kPrimaryCreateFlag = 12;  // commands 14, 15 (one byte)
}  // namespace esc

}  // namespace brisel
