// The escape channel to the kernel-mode display driver: one operation per
// EscapePacket command. Every packet is zero-filled, carries its size, both
// magics and the command, and is sent as pfnEscapeCb(runtimeAdapter, ...)
// with the escape callback stored in the device's AdapterRecord. A failed
// escape is not retried. Runs on the caller's thread; holds no lock.
#pragma once

#include <windows.h>

#include "CaptureRecords.h"
#include "DeviceRecord.h"
#include "KmdFormats.h"

namespace brisel {

// A zero-filled packet with size, magics and command set.
EscapePacket MakeEscapePacket(EscapeCommand command) noexcept;

// Sends `packet` through the device's adapter; hDevice of the escape is the
// device's runtimeDevice when `withDevice`, else 0. The answer comes back in
// `packet`. E_FAIL when no escape callback is known yet.
HRESULT SendEscape(DeviceRecord& device, EscapePacket& packet, bool withDevice) noexcept;

// 0: active-source mask (0 when the escape fails).
UINT QueryActiveSourceMask(DeviceRecord& device) noexcept;

// 1: registers a shadow buffer for `allocation` with the surface's source
// mask, width, height and format. The first form sends the surface's own
// buffer (bufferSize, bufferAddress); the second an explicit one (memory
// mapped from a staging resource).
HRESULT RegisterShadowBuffer(DeviceRecord& device, const TrackedSurface& surface, D3DKMT_HANDLE allocation,
                             UINT pitch) noexcept;
HRESULT RegisterShadowBuffer(DeviceRecord& device, const TrackedSurface& surface, D3DKMT_HANDLE allocation,
                             UINT bufferSize, UINT pitch, const void* bufferAddress) noexcept;

// 2: releases the surface's buffer for one recorded allocation.
HRESULT ReleaseShadowBuffer(DeviceRecord& device, const TrackedSurface& surface,
                            const AllocationRecord& allocation) noexcept;

// 9: width, height and format of an allocation; false when the escape fails
// (the outputs are then left untouched).
bool QueryAllocationInfo(DeviceRecord& device, D3DKMT_HANDLE allocation, UINT* width, UINT* height,
                         UINT* format) noexcept;

// 10: source mask of an allocation (0 when the escape fails).
UINT QueryAllocationSourceMask(DeviceRecord& device, D3DKMT_HANDLE allocation) noexcept;

// 11.
HRESULT BltPresentDone(DeviceRecord& device, D3DKMT_HANDLE allocation) noexcept;

// 12 and 13: `packet` carries the answer of 12 into 13; after 13 the answered
// source id is AnsweredSourceId(packet).
HRESULT SetDisplayModeBegin(DeviceRecord& device, const TrackedSurface& surface, UINT vidPnSourceId,
                            EscapePacket& packet) noexcept;
HRESULT SetDisplayModeEnd(DeviceRecord& device, EscapePacket& packet) noexcept;
inline UINT AnsweredSourceId(const EscapePacket& packet) noexcept { return packet.GetU32(esc::kModeSourceId); }

// 14 and 15: 1 before, 0 after the real creation.
HRESULT ProxySourcePrimaryCreate(DeviceRecord& device, bool before) noexcept;
HRESULT OtherSourcePrimaryCreate(DeviceRecord& device, bool before) noexcept;

}  // namespace brisel
