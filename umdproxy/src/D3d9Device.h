// The D3D9 device-creation wrapper installed in the adapter function table by
// OpenAdapter. The creation copies the runtime's callbacks (DeviceRecord.h),
// creates the device in the real driver, keeps a copy of the real device
// functions and installs the device-function wrappers through
// InstallD3d9DeviceWrappers, the single place that decides which entries of the
// runtime's D3DDDI_DEVICEFUNCS are Brisel's (the resource wrappers live in
// D3d9Resources.h, the presentation wrappers in D3d9Present.h). Runs on the
// runtime's threads.
#pragma once

#include "D3d9DeviceRecord.h"

namespace brisel {

// pfnCreateDevice of a D3D9 adapter.
HRESULT APIENTRY D3d9CreateDeviceWrapper(HANDLE hAdapter, D3DDDIARG_CREATEDEVICE* pArgs);

// Writes Brisel's device-function wrappers into the runtime's table after a
// successful creation. Only entries the real driver filled are replaced.
void InstallD3d9DeviceWrappers(D3d9DeviceRecord& device, D3DDDI_DEVICEFUNCS* runtimeFuncs) noexcept;

// Entry 91: releases the shadow buffers of surfaces the application left
// behind, destroys the device in the real driver, then drops the record.
HRESULT APIENTRY D3d9DestroyDeviceWrapper(HANDLE hDevice);

}  // namespace brisel
