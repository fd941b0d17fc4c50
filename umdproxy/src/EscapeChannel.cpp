// Escape operations, one per command. Runs on the caller's thread; no lock is
// held while the kernel-mode driver is reached.
#include "EscapeChannel.h"

#include <cstring>

namespace brisel {

EscapePacket MakeEscapePacket(EscapeCommand command) noexcept
{
    EscapePacket packet;
    std::memset(&packet, 0, sizeof packet);
    packet.packetSize = kEscapePacketSize;
    packet.magic = ESCAPE_MAGIC_HEAD;
    packet.command = command;
    packet.tailMagic = ESCAPE_MAGIC_TAIL;
    return packet;
}

HRESULT SendEscape(DeviceRecord& device, EscapePacket& packet, bool withDevice) noexcept
{
    AdapterRecord* adapter = device.adapter;
    PFND3DDDI_ESCAPECB escape = adapter ? LoadEscapeCb(adapter) : nullptr;
    if (!escape) return E_FAIL;
    D3DDDICB_ESCAPE args{};
    args.hDevice = withDevice ? device.runtimeDevice : nullptr;
    args.Flags = 0;
    args.pPrivateDriverData = &packet;
    args.PrivateDriverDataSize = kEscapePacketSize;
    args.hContext = nullptr;
    return escape(adapter->runtimeAdapter, &args);
}

UINT QueryActiveSourceMask(DeviceRecord& device) noexcept
{
    EscapePacket packet = MakeEscapePacket(kEscQueryActiveSourceMask);
    if (FAILED(SendEscape(device, packet, false))) return 0;
    return packet.GetU32(esc::kActiveSourceMask);
}

HRESULT RegisterShadowBuffer(DeviceRecord& device, const TrackedSurface& surface, D3DKMT_HANDLE allocation,
                             UINT pitch) noexcept
{
    return RegisterShadowBuffer(device, surface, allocation, surface.bufferSize, pitch, surface.bufferAddress);
}

HRESULT RegisterShadowBuffer(DeviceRecord& device, const TrackedSurface& surface, D3DKMT_HANDLE allocation,
                             UINT bufferSize, UINT pitch, const void* bufferAddress) noexcept
{
    EscapePacket packet = MakeEscapePacket(kEscRegisterShadowBuffer);
    packet.SetU32(esc::kAllocation, allocation);
    packet.SetU32(esc::kBufferSize, bufferSize);
    packet.SetU32(esc::kSourceMask, surface.sourceMask);
    packet.SetU32(esc::kWidth, surface.width);
    packet.SetU32(esc::kHeight, surface.height);
    packet.SetU32(esc::kFormat, surface.format);
    packet.SetU32(esc::kPitch, pitch);
    // The kernel-mode driver reads a 64-bit address: the 32-bit one, sign-extended.
    auto address32 = static_cast<int32_t>(reinterpret_cast<uintptr_t>(bufferAddress));
    packet.SetU64(esc::kBufferAddress, static_cast<uint64_t>(static_cast<int64_t>(address32)));
    return SendEscape(device, packet, true);
}

HRESULT ReleaseShadowBuffer(DeviceRecord& device, const TrackedSurface& surface,
                            const AllocationRecord& allocation) noexcept
{
    EscapePacket packet = MakeEscapePacket(kEscReleaseShadowBuffer);
    packet.SetU32(esc::kAllocation, allocation.info.hAllocation);
    packet.SetU32(esc::kBufferSize, surface.bufferSize);
    // Source ids beyond 31 fold like every other source mask instead of
    // shifting out of the word.
    UINT mask = (allocation.info.Flags & kAllocationFlagPrimary) ? SourceMaskOf(allocation.info.VidPnSourceId) : 0;
    packet.SetU32(esc::kSourceMask, mask);
    packet.SetU32(esc::kWidth, surface.width);
    packet.SetU32(esc::kHeight, surface.height);
    packet.SetU32(esc::kFormat, surface.format);
    return SendEscape(device, packet, true);
}

bool QueryAllocationInfo(DeviceRecord& device, D3DKMT_HANDLE allocation, UINT* width, UINT* height,
                         UINT* format) noexcept
{
    EscapePacket packet = MakeEscapePacket(kEscQueryAllocationInfo);
    packet.SetU32(esc::kAllocation, allocation);
    if (FAILED(SendEscape(device, packet, true))) return false;
    if (width) *width = packet.GetU32(esc::kInfoWidth);
    if (height) *height = packet.GetU32(esc::kInfoHeight);
    if (format) *format = packet.GetU32(esc::kInfoFormat);
    return true;
}

UINT QueryAllocationSourceMask(DeviceRecord& device, D3DKMT_HANDLE allocation) noexcept
{
    EscapePacket packet = MakeEscapePacket(kEscQueryAllocationSourceMask);
    packet.SetU32(esc::kAllocation, allocation);
    if (FAILED(SendEscape(device, packet, true))) return 0;
    return packet.GetU32(esc::kAllocationSourceMask);
}

HRESULT BltPresentDone(DeviceRecord& device, D3DKMT_HANDLE allocation) noexcept
{
    EscapePacket packet = MakeEscapePacket(kEscBltPresentDone);
    packet.SetU32(esc::kAllocation, allocation);
    return SendEscape(device, packet, false);
}

HRESULT SetDisplayModeBegin(DeviceRecord& device, const TrackedSurface& surface, UINT vidPnSourceId,
                            EscapePacket& packet) noexcept
{
    packet = MakeEscapePacket(kEscSetDisplayModeBegin);
    packet.SetU32(esc::kAllocation, surface.primaryAllocation);
    packet.SetU32(esc::kRefreshNumerator, surface.refreshNumerator);
    packet.SetU32(esc::kRefreshDenominator, surface.refreshDenominator);
    packet.SetU32(esc::kModeSourceId, vidPnSourceId);
    return SendEscape(device, packet, true);
}

HRESULT SetDisplayModeEnd(DeviceRecord& device, EscapePacket& packet) noexcept
{
    packet.command = kEscSetDisplayModeEnd;
    return SendEscape(device, packet, true);
}

static HRESULT SendPrimaryCreate(DeviceRecord& device, EscapeCommand command, bool before) noexcept
{
    EscapePacket packet = MakeEscapePacket(command);
    packet.SetU8(esc::kPrimaryCreateFlag, before ? 1 : 0);
    return SendEscape(device, packet, true);
}

HRESULT ProxySourcePrimaryCreate(DeviceRecord& device, bool before) noexcept
{
    return SendPrimaryCreate(device, kEscProxySourcePrimaryCreate, before);
}

HRESULT OtherSourcePrimaryCreate(DeviceRecord& device, bool before) noexcept
{
    return SendPrimaryCreate(device, kEscOtherSourcePrimaryCreate, before);
}

}  // namespace brisel
