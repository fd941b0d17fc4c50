// The runtime's own DXGI present callback, remembered per DXGI base callback
// table. A runtime may hand the same table to several D3D10/11 devices. The
// first device's creation writes Brisel's present-callback wrapper into
// entry 0 of that table; a later device then finds the wrapper there and
// learns the runtime's function from this table's record instead.
//
// One record per table address, process-wide, counted by the devices that
// use it. The release by the last device writes the runtime's function back
// into the table (when it still holds the wrapper) and frees the record, so a
// table the runtime reuses, or a new table at the same address, starts from
// the runtime's own function again and never from a wrapper nobody can
// forward. Acquire and release hold one process-wide lock around the table
// entry and the count, so a device created on one thread while the table's
// last device is destroyed on another sees either the live record or the
// restored entry. The lock is never held while the runtime or the driver
// runs. Threads: the runtime's (device creation and destruction).
//
// The table stays valid while a device it was given to exists: the driver
// calls through it at every present of that device.
#pragma once

#include "ddi/D3d10Ddi.h"

namespace brisel {

struct DxgiCallbackTable;

// Takes a reference on the table's record (made at the first reference),
// writes `wrapper` into the table's present entry and gives the runtime's
// present callback for a device of that table. A function found in the
// entry other than `wrapper` is the runtime's and replaces the remembered
// one. nullptr when the record cannot be allocated: the table is untouched.
DxgiCallbackTable* AcquireDxgiCallbackTable(DXGI_DDI_BASE_CALLBACKS* table, PFNDDXGIDDI_PRESENTCB wrapper,
                                            PFNDDXGIDDI_PRESENTCB* runtimePresentCb) noexcept;

// Drops a reference (nullptr: nothing). The last one restores the table's
// present entry and frees the record.
void ReleaseDxgiCallbackTable(DxgiCallbackTable* record) noexcept;

// Records alive over the process (for the tests).
unsigned DxgiCallbackTablesHeld() noexcept;

}  // namespace brisel
