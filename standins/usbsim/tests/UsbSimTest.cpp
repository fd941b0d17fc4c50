// Tests of the simulated USB display devices: the stand-in DLLs are loaded
// by path exactly as Skyvane would find them beside it, and driven through
// their undecorated exports. Runs on the test's main thread.
#include <windows.h>
#include <cfgmgr32.h>
#include <winusb.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimRecords.h"
#include "SimState.h"

using namespace usbsim;

namespace {

struct Api {
  HMODULE winusb = nullptr, cfgmgr = nullptr;
  decltype(&WinUsb_Initialize) Initialize = nullptr;
  decltype(&WinUsb_Free) Free = nullptr;
  decltype(&WinUsb_GetDescriptor) GetDescriptor = nullptr;
  decltype(&WinUsb_GetPipePolicy) GetPipePolicy = nullptr;
  decltype(&WinUsb_SetPipePolicy) SetPipePolicy = nullptr;
  decltype(&WinUsb_ControlTransfer) ControlTransfer = nullptr;
  decltype(&WinUsb_WritePipe) WritePipe = nullptr;
  decltype(&WinUsb_ResetPipe) ResetPipe = nullptr;
  decltype(&CM_Get_Device_Interface_List_SizeW) ListSize = nullptr;
  decltype(&CM_Get_Device_Interface_ListW) List = nullptr;
  DWORD(WINAPI* MapCr)(CONFIGRET, DWORD) = nullptr;
};

template <typename T>
void Bind(HMODULE module, const char* name, T& fn) {
  fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const Api& Sim() {
  static Api api = [] {
    Api a;
    std::wstring dir = ToWindowsPath(Widen(USBSIM_DLL_DIR));
    a.winusb = LoadLibraryW((dir + L"\\winusb.dll").c_str());
    a.cfgmgr = LoadLibraryW((dir + L"\\cfgmgr32.dll").c_str());
    if (a.winusb) {
      Bind(a.winusb, "WinUsb_Initialize", a.Initialize);
      Bind(a.winusb, "WinUsb_Free", a.Free);
      Bind(a.winusb, "WinUsb_GetDescriptor", a.GetDescriptor);
      Bind(a.winusb, "WinUsb_GetPipePolicy", a.GetPipePolicy);
      Bind(a.winusb, "WinUsb_SetPipePolicy", a.SetPipePolicy);
      Bind(a.winusb, "WinUsb_ControlTransfer", a.ControlTransfer);
      Bind(a.winusb, "WinUsb_WritePipe", a.WritePipe);
      Bind(a.winusb, "WinUsb_ResetPipe", a.ResetPipe);
    }
    if (a.cfgmgr) {
      Bind(a.cfgmgr, "CM_Get_Device_Interface_List_SizeW", a.ListSize);
      Bind(a.cfgmgr, "CM_Get_Device_Interface_ListW", a.List);
      Bind(a.cfgmgr, "CM_MapCrToWin32Err", a.MapCr);
    }
    return a;
  }();
  return api;
}

GUID DisplayGuid() { return kDisplayInterfaceGuid; }

class UsbSim : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Sim().winusb, nullptr);
    ASSERT_NE(Sim().cfgmgr, nullptr);
    // Every export the product imports must exist under its undecorated name.
    ASSERT_TRUE(Sim().Initialize && Sim().Free && Sim().GetDescriptor && Sim().GetPipePolicy && Sim().SetPipePolicy &&
                Sim().ControlTransfer && Sim().WritePipe && Sim().ResetPipe);
    ASSERT_TRUE(Sim().ListSize && Sim().List && Sim().MapCr);
    const char* root = getenv("SKY_TEST_TMP");
    ASSERT_NE(root, nullptr);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = ToWindowsPath(Widen(root)) + L"\\" + Widen(info->name());
    RemoveTree(m_dir);  // results of an earlier run must not count
    ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr));
    SetEnvironmentVariableW(L"SKY_USBSIM_DIR", m_dir.c_str());
    WriteDevices(m_dir, {});
    WriteCfgMgrFaults(m_dir, {});
  }

  void Plug(std::vector<DeviceConfig> devices) { ASSERT_TRUE(WriteDevices(m_dir, devices)); }

  std::vector<std::wstring> ListPaths(CONFIGRET* pResult = nullptr) {
    GUID guid = DisplayGuid();
    ULONG size = 0;
    CONFIGRET cr = Sim().ListSize(&size, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    std::vector<std::wstring> paths;
    if (cr == CR_SUCCESS) {
      std::vector<wchar_t> buffer(size, L'\x7777');
      cr = Sim().List(&guid, nullptr, buffer.data(), size, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
      if (cr == CR_SUCCESS)
        for (const wchar_t* p = buffer.data(); *p; p += wcslen(p) + 1) paths.push_back(p);
    }
    if (pResult) *pResult = cr;
    return paths;
  }

  // Opens a device the way the monitor processor does.
  HANDLE Open(const std::wstring& name) {
    return CreateFileW(InterfacePath(m_dir, name).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  }

  BOOL Control(WINUSB_INTERFACE_HANDLE h, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
               uint16_t length) {
    WINUSB_SETUP_PACKET setup{type, request, value, index, length};
    ULONG got = 0;
    return Sim().ControlTransfer(h, setup, data, length, &got, nullptr);
  }

  std::wstring m_dir;
};

TEST_F(UsbSim, ListsPresentDevicesInFileOrderAndNothingForOtherClasses) {
  Plug({{L"zeta"}, {L"alpha"}});
  auto paths = ListPaths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0], InterfacePath(m_dir, L"zeta"));
  EXPECT_EQ(paths[1], InterfacePath(m_dir, L"alpha"));
  EXPECT_EQ(DeviceNameFromPath(paths[1]), L"alpha");

  GUID other = DisplayGuid();
  other.Data1 ^= 1;
  ULONG size = 0;
  ASSERT_EQ(Sim().ListSize(&size, &other, nullptr, 0), CR_SUCCESS);
  EXPECT_EQ(size, 1u);  // just the terminating empty string

  Plug({});
  EXPECT_TRUE(ListPaths().empty());
}

TEST_F(UsbSim, ListQueryRefusesShortBuffersAndPlaysScriptedFaults) {
  Plug({{L"one"}});
  GUID guid = DisplayGuid();
  ULONG size = 0;
  ASSERT_EQ(Sim().ListSize(&size, &guid, nullptr, 0), CR_SUCCESS);
  std::vector<wchar_t> buffer(size);
  EXPECT_EQ(Sim().List(&guid, nullptr, buffer.data(), size - 1, 0), CR_BUFFER_SMALL);
  EXPECT_EQ(Sim().ListSize(nullptr, &guid, nullptr, 0), CR_INVALID_POINTER);

  WriteCfgMgrFaults(m_dir, {0, 0, 2});
  CONFIGRET cr;
  ListPaths(&cr);
  EXPECT_EQ(cr, CR_BUFFER_SMALL);
  ListPaths(&cr);
  EXPECT_EQ(cr, CR_BUFFER_SMALL);
  EXPECT_EQ(ListPaths(&cr).size(), 1u);  // the scripted growth is used up
  EXPECT_EQ(cr, CR_SUCCESS);

  WriteCfgMgrFaults(m_dir, {CR_OUT_OF_MEMORY, 0, 0});
  ListPaths(&cr);
  EXPECT_EQ(cr, CR_OUT_OF_MEMORY);
  WriteCfgMgrFaults(m_dir, {0, CR_NO_SUCH_DEVICE_INTERFACE, 0});
  ListPaths(&cr);
  EXPECT_EQ(cr, CR_NO_SUCH_DEVICE_INTERFACE);

  EXPECT_EQ(Sim().MapCr(CR_SUCCESS, ERROR_INVALID_DATA), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(Sim().MapCr(CR_OUT_OF_MEMORY, ERROR_INVALID_DATA), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(Sim().MapCr(CR_BUFFER_SMALL, ERROR_INVALID_DATA), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(Sim().MapCr(0x7777, 1234), 1234u);  // no mapping: the caller's default
}

TEST_F(UsbSim, InterfacePathOpensTheDeviceOnceAndOnlyWhilePresent) {
  Plug({{L"dev1"}, {L"dev2"}});
  HANDLE file = Open(L"dev1");
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  WINUSB_INTERFACE_HANDLE h = nullptr;
  ASSERT_TRUE(Sim().Initialize(file, &h)) << GetLastError();
  // The host's file handle is recorded for the handle notifications the launcher plays.
  uintptr_t recorded = 0;
  ASSERT_TRUE(ReadDeviceHandle(DeviceDirectory(m_dir, L"dev1"), &recorded));
  EXPECT_EQ(recorded, reinterpret_cast<uintptr_t>(file));

  // A second owner of the same device is refused, as WinUSB does.
  HANDLE again = Open(L"dev1");
  WINUSB_INTERFACE_HANDLE h2 = nullptr;
  EXPECT_FALSE(Sim().Initialize(again, &h2));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(again);

  // A file that is no device node of ours.
  std::wstring foreign = m_dir + L"\\devices.txt";
  HANDLE other = CreateFileW(foreign.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             0, nullptr);
  EXPECT_FALSE(Sim().Initialize(other, &h2));
  CloseHandle(other);

  // Unplugged devices cannot be initialised even though their node remains.
  HANDLE second = Open(L"dev2");
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  Plug({{L"dev1"}});
  EXPECT_FALSE(Sim().Initialize(second, &h2));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  CloseHandle(second);

  EXPECT_TRUE(Sim().Free(h));
  // The handle is gone: a stale handle is refused rather than used.
  uint8_t state[2];
  EXPECT_FALSE(Control(h, 0xC1, 0x40, 0, 1, state, 2));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(Sim().Free(h));
  CloseHandle(file);
}

TEST_F(UsbSim, DescriptorsPutTheBulkPipeRightAfterTheSecondVendorInterface) {
  Plug({{L"d"}});
  HANDLE file = Open(L"d");
  WINUSB_INTERFACE_HANDLE h = nullptr;
  ASSERT_TRUE(Sim().Initialize(file, &h));
  uint8_t device[18] = {};
  ULONG got = 0;
  ASSERT_TRUE(Sim().GetDescriptor(h, 1, 0, 0, device, 18, &got));
  EXPECT_EQ(got, 18u);
  EXPECT_EQ(device[1], 1);
  uint8_t header[9] = {};
  ASSERT_TRUE(Sim().GetDescriptor(h, 2, 1, 0, header, 9, &got));
  EXPECT_EQ(got, 9u);
  uint16_t total = uint16_t(header[2] | header[3] << 8);
  std::vector<uint8_t> all(total);
  ASSERT_TRUE(Sim().GetDescriptor(h, 2, 1, 0, all.data(), total, &got));
  ASSERT_EQ(got, total);
  // Walk: find the first vendor interface, the endpoint right after it.
  int vendorIf = -1, pipe = -1;
  for (size_t off = 9; off + 2 <= all.size() && all[off]; off += all[off]) {
    if (all[off + 1] == 4 && all[off + 5] == 0xFF) {
      vendorIf = all[off + 2];
      size_t next = off + all[off];
      ASSERT_EQ(all[next + 1], 5);
      pipe = all[next + 2];
      break;
    }
  }
  EXPECT_EQ(vendorIf, kVendorInterfaceNumber);
  EXPECT_EQ(pipe, kBulkOutPipe);
  EXPECT_FALSE(Sim().GetDescriptor(h, 3, 0, 0, header, 9, &got));  // no strings

  ULONG timeout = 1000, size = 4;
  EXPECT_TRUE(Sim().SetPipePolicy(h, kBulkOutPipe, PIPE_TRANSFER_TIMEOUT, 4, &timeout));
  timeout = 0;
  EXPECT_TRUE(Sim().GetPipePolicy(h, kBulkOutPipe, PIPE_TRANSFER_TIMEOUT, &size, &timeout));
  EXPECT_EQ(timeout, 1000u);
  EXPECT_FALSE(Sim().SetPipePolicy(h, 0x05, PIPE_TRANSFER_TIMEOUT, 4, &timeout));
  Sim().Free(h);
  CloseHandle(file);
}

TEST_F(UsbSim, AnswersTheVendorRequestsAndStallsMalformedOnes) {
  DeviceConfig d;
  d.name = L"vend";
  d.width = 1920;
  d.height = 1080;
  Plug({d});
  HANDLE file = Open(L"vend");
  WINUSB_INTERFACE_HANDLE h = nullptr;
  ASSERT_TRUE(Sim().Initialize(file, &h));

  uint8_t two[2] = {};
  ASSERT_TRUE(Control(h, 0xC1, 0x41, 0, 1, two, 2));
  EXPECT_EQ(two[0] | two[1] << 8, 256);
  uint8_t edid[256] = {};
  ASSERT_TRUE(Control(h, 0xC1, 0x41, 1, 1, edid, 128));
  ASSERT_TRUE(Control(h, 0xC1, 0x41, 2, 1, edid + 128, 128));
  EXPECT_EQ(std::vector<uint8_t>(edid, edid + 256), BuildEdid(d));
  uint8_t sum0 = 0, sum1 = 0;
  for (int i = 0; i < 128; ++i) {
    sum0 = uint8_t(sum0 + edid[i]);
    sum1 = uint8_t(sum1 + edid[128 + i]);
  }
  EXPECT_EQ(sum0, 0);
  EXPECT_EQ(sum1, 0);
  EXPECT_EQ(edid[56] | (edid[58] & 0xF0) << 4, 1920);  // preferred timing
  EXPECT_EQ(edid[59] | (edid[61] & 0xF0) << 4, 1080);

  ASSERT_TRUE(Control(h, 0xC1, 0x40, 0, 1, two, 2));
  EXPECT_EQ(two[1], 0xA5);  // noise the host must clear
  uint8_t res[4] = {0x80, 0x07, 0x38, 0x04};
  ASSERT_TRUE(Control(h, 0x41, 0x81, 0, 1, res, 4));
  uint8_t payload[138] = {0xFF, 0xDB, 0x00, 0x43};
  ASSERT_TRUE(Control(h, 0x41, 0x83, 1, 1, payload, 138));

  // Wrong interface, wrong length, unknown request: stalled like a device does.
  EXPECT_FALSE(Control(h, 0x41, 0x81, 0, 0, res, 4));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
  EXPECT_FALSE(Control(h, 0x41, 0x81, 0, 1, res, 3));
  EXPECT_FALSE(Control(h, 0xC1, 0x7F, 0, 1, two, 2));
  // A data stage larger than the caller's buffer is refused before the wire.
  WINUSB_SETUP_PACKET setup{0x41, 0x81, 0, 1, 4};
  ULONG got = 0;
  EXPECT_FALSE(Sim().ControlTransfer(h, setup, res, 2, &got, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  Sim().Free(h);
  CloseHandle(file);

  auto events = ReadUsbLog(DeviceDirectory(m_dir, L"vend"));
  std::vector<UsbEvent> ctrl;
  for (const auto& e : events)
    if (e.kind == "CTRL") ctrl.push_back(e);
  ASSERT_EQ(ctrl.size(), 9u);
  EXPECT_TRUE(ctrl[4].IsSetResolution());
  EXPECT_EQ(HexBytes(ctrl[4].setup, 8), "4181000001000400");
  EXPECT_EQ(ctrl[4].ResolutionWidth(), 1920);
  EXPECT_EQ(ctrl[4].ResolutionHeight(), 1080);
  EXPECT_TRUE(ctrl[5].IsSetQuantTable());
  EXPECT_EQ(ctrl[5].data.size(), 138u);
  EXPECT_FALSE(ctrl[6].ok);
  EXPECT_EQ(events.front().kind, "INIT");
  EXPECT_EQ(events.back().kind, "FREE");
  EXPECT_EQ(ReadWholeFile(DeviceDirectory(m_dir, L"vend") + L"\\quant.bin").size(), 138u);
}

TEST_F(UsbSim, DeviceWithoutEdidStallsTheSizeRequest) {
  DeviceConfig d;
  d.name = L"noedid";
  d.edidSize = 0;
  Plug({d});
  HANDLE file = Open(L"noedid");
  WINUSB_INTERFACE_HANDLE h = nullptr;
  ASSERT_TRUE(Sim().Initialize(file, &h));
  uint8_t two[2];
  EXPECT_FALSE(Control(h, 0xC1, 0x41, 0, 1, two, 2));
  Sim().Free(h);
  CloseHandle(file);
}

TEST_F(UsbSim, SavesEachFrameStreamWithTheResolutionItWasSentAt) {
  DeviceConfig d;
  d.name = L"frames";
  d.keepFrames = 2;
  Plug({d});
  HANDLE file = Open(L"frames");
  WINUSB_INTERFACE_HANDLE h = nullptr;
  ASSERT_TRUE(Sim().Initialize(file, &h));
  uint8_t res[4] = {64, 0, 16, 0};
  ASSERT_TRUE(Control(h, 0x41, 0x81, 0, 1, res, 4));

  std::vector<uint8_t> frame(4097, 0);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7);
  for (int i = 0; i < 3; ++i) {
    ULONG sent = 0;
    ASSERT_TRUE(Sim().WritePipe(h, kBulkOutPipe, frame.data(), 4097, &sent, nullptr));
    EXPECT_EQ(sent, 4097u);
  }
  ULONG sent = 0;
  EXPECT_FALSE(Sim().WritePipe(h, 0x83, frame.data(), 4097, &sent, nullptr));
  EXPECT_TRUE(Sim().ResetPipe(h, kBulkOutPipe));
  Sim().Free(h);
  CloseHandle(file);

  std::wstring dir = DeviceDirectory(m_dir, L"frames");
  auto frames = ReadFrameIndex(dir);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2].index, 2);
  EXPECT_EQ(frames[2].width, 64);
  EXPECT_EQ(frames[2].height, 16);
  EXPECT_EQ(frames[2].received, 4097u);
  EXPECT_EQ(frames[2].saved, 4096u);  // the extra byte the host sends is not stream
  auto saved = ReadWholeFile(dir + L"\\" + Widen(frames[2].file));
  EXPECT_EQ(saved, std::vector<uint8_t>(frame.begin(), frame.begin() + 4096));
  // keep=2: the oldest frame file is gone, its index line stays.
  EXPECT_TRUE(ReadWholeFile(dir + L"\\" + Widen(frames[0].file)).empty());

  auto events = ReadUsbLog(dir);
  int bulk = 0;
  for (const auto& e : events) bulk += e.kind == "BULK" && e.ok;
  EXPECT_EQ(bulk, 3);
  EXPECT_EQ(events[events.size() - 3].kind, "BULK");
  EXPECT_FALSE(events[events.size() - 3].ok);
  EXPECT_EQ(events[events.size() - 2].kind, "RESET");

  // A new session of the same device continues the numbering.
  file = Open(L"frames");
  ASSERT_TRUE(Sim().Initialize(file, &h));
  ASSERT_TRUE(Sim().WritePipe(h, kBulkOutPipe, frame.data(), 129, &sent, nullptr));
  Sim().Free(h);
  CloseHandle(file);
  frames = ReadFrameIndex(dir);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[3].index, 3);
  EXPECT_EQ(frames[3].saved, 128u);
}

TEST(UsbSimState, DeviceLinesRoundTripAndBadOnesAreRefused) {
  DeviceConfig d;
  ASSERT_TRUE(ParseDeviceLine("cam-1 mode=1366x768 edid=128 keep=5", d));
  EXPECT_EQ(d.name, L"cam-1");
  EXPECT_EQ(d.width, 1366);
  EXPECT_EQ(d.height, 768);
  EXPECT_EQ(d.edidSize, 128);
  EXPECT_EQ(d.keepFrames, 5);
  DeviceConfig back;
  ASSERT_TRUE(ParseDeviceLine(FormatDeviceLine(d), back));
  EXPECT_EQ(FormatDeviceLine(back), FormatDeviceLine(d));
  for (const char* bad : {"", "# comment", "a/b", "x mode=10x10", "x edid=77", "x colour=red", "x mode=12"})
    EXPECT_FALSE(ParseDeviceLine(bad, d)) << bad;
  EXPECT_EQ(DeviceNameFromPath(L"\\\\?\\C:\\x\\usb#vid_1209&pid_7d5a#n1#{1b866a70-854d-417f-b69d-b7ab9bfb8da5}"),
            L"n1");
  EXPECT_EQ(DeviceNameFromPath(L"C:\\x\\devices.txt"), L"");
  EXPECT_EQ(ToWindowsPath(L"/tmp/a b"), L"Z:\\tmp\\a b");
}

}  // namespace
