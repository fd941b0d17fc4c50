// The double must catch what real WinUSB would refuse, or the tests built on
// it (which expect no misuse) prove nothing; and its scripted failures must
// hit exactly the calls asked for.
#include <gtest/gtest.h>

#include "WinUsbDouble.h"

namespace {

using namespace winusb_double;

class WinUsbDoubleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CWinUsbDouble::Get().Reset();
    wchar_t szSelf[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    m_hFile = CreateFileW(szSelf, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(m_hFile, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WinUsb_Initialize(m_hFile, &m_hInterface));
  }
  void TearDown() override { CloseHandle(m_hFile); }

  BOOL Control(uint8_t type, uint8_t request, uint16_t length, uint8_t* pBuffer, ULONG bufferLength) {
    WINUSB_SETUP_PACKET setup = {type, request, 0, 0, length};
    ULONG transferred = 0;
    return WinUsb_ControlTransfer(m_hInterface, setup, pBuffer, bufferLength, &transferred, nullptr);
  }

  HANDLE m_hFile = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE m_hInterface = nullptr;
};

TEST_F(WinUsbDoubleTest, MisusesAreRefusedWithWinUsbErrorsAndRecorded) {
  uint8_t buffer[8] = {};
  EXPECT_FALSE(Control(0xC1, 0x40, 2, buffer, 4));  // wLength differs from the buffer
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(Control(0x41, 0x82, 2, nullptr, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  ULONG transferred = 0;
  EXPECT_FALSE(WinUsb_WritePipe(m_hInterface, 0x81, buffer, 8, &transferred, nullptr));  // IN pipe
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  ASSERT_TRUE(WinUsb_Free(m_hInterface));
  EXPECT_FALSE(WinUsb_Free(m_hInterface));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WinUsb_WritePipe(m_hInterface, 0x01, buffer, 8, &transferred, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  WINUSB_INTERFACE_HANDLE hOther = nullptr;
  HANDLE hClosed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(hClosed);
  EXPECT_FALSE(WinUsb_Initialize(hClosed, &hOther));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  EXPECT_EQ(CWinUsbDouble::Get().Misuses().size(), 5u);
  EXPECT_EQ(CWinUsbDouble::Get().OpenInterfaces(), 0u);
}

TEST_F(WinUsbDoubleTest, FailuresHitTheRequestedWindowOfMatchingCalls) {
  CWinUsbDouble::Get().InjectFailure({Call::ControlTransfer, ERROR_SEM_TIMEOUT, 0x40, 1, 2});
  uint8_t buffer[2];
  const bool expected[] = {true, false, false, true};
  for (bool ok : expected) {
    EXPECT_TRUE(Control(0x41, 0x82, 2, buffer, 2));  // another request is never hit
    EXPECT_EQ(Control(0xC1, 0x40, 2, buffer, 2) != FALSE, ok);
    if (!ok) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    }
  }
  EXPECT_EQ(CWinUsbDouble::Get().Controls(0x40).size(), 4u);
  EXPECT_TRUE(WinUsb_Free(m_hInterface));
  EXPECT_TRUE(CWinUsbDouble::Get().Misuses().empty());
}

TEST_F(WinUsbDoubleTest, EdidScriptAnswersSizeAndBothBlocks) {
  std::vector<uint8_t> edid(256);
  for (size_t i = 0; i < edid.size(); ++i) edid[i] = static_cast<uint8_t>(i);
  CWinUsbDouble::Get().SetEdid(edid, 0x1234);
  uint8_t size[2] = {};
  WINUSB_SETUP_PACKET setup = {0xC1, 0x41, 0, 0, 2};
  ULONG transferred = 0;
  ASSERT_TRUE(WinUsb_ControlTransfer(m_hInterface, setup, size, 2, &transferred, nullptr));
  EXPECT_EQ(size[0] | size[1] << 8, 0x1234);
  uint8_t block[128];
  setup = {0xC1, 0x41, 2, 0, 128};
  ASSERT_TRUE(WinUsb_ControlTransfer(m_hInterface, setup, block, 128, &transferred, nullptr));
  EXPECT_EQ(transferred, 128u);
  EXPECT_EQ(block[0], 128);
  EXPECT_EQ(block[127], 255);
  EXPECT_TRUE(WinUsb_Free(m_hInterface));
}

}  // namespace
