// Shared fixture of the USB client tests: a scripted device in the WinUSB
// double and an open file handle standing in for the device interface.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "WinUSB.h"
#include "WinUsbDouble.h"

namespace usbtest {

using winusb_double::Call;
using winusb_double::CallRecord;
using winusb_double::CWinUsbDouble;
using winusb_double::DescriptorBuilder;
using winusb_double::Failure;

using Bytes = std::vector<uint8_t>;

inline Bytes SetupBytes(const CallRecord& r) { return Bytes(r.setup.begin(), r.setup.end()); }

inline std::string Hex(const Bytes& bytes) {
  std::string s;
  char buf[4];
  for (uint8_t b : bytes) {
    snprintf(buf, sizeof(buf), "%02X ", b);
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

class UsbClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Double().Reset();
    wchar_t szSelf[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, szSelf, MAX_PATH), 0u);
    m_hFile =
        CreateFileW(szSelf, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(m_hFile, INVALID_HANDLE_VALUE);
  }

  void TearDown() override {
    m_pUsb.reset();
    EXPECT_EQ(Double().OpenInterfaces(), 0u) << "interface handle leaked";
    for (const std::string& misuse : Double().Misuses()) ADD_FAILURE() << "WinUSB misuse: " << misuse;
    if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
  }

  static CWinUsbDouble& Double() { return CWinUsbDouble::Get(); }

  // Binds a new client to the scripted device; the record then starts empty.
  bool Bind() {
    m_pUsb = std::make_unique<WinUSB>();
    const bool ok = m_pUsb->SetHandle(m_hFile);
    Double().ClearRecord();
    return ok;
  }

  HANDLE m_hFile = INVALID_HANDLE_VALUE;
  std::unique_ptr<WinUSB> m_pUsb;
};

}  // namespace usbtest
