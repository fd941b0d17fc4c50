// The bulk frame write: length + 1 bytes in one transfer, the pipe reset
// after a failure, the pipe time-out, and the device mutex that keeps control
// transfers and writes of one device apart.
#include <windows.h>

#include <atomic>
#include <thread>

#include "UsbTestSupport.h"

namespace usbtest {
namespace {

TEST_F(UsbClientTest, FrameGoesOutAsOneTransferOfLengthPlusOne) {
  ASSERT_TRUE(Bind());
  Bytes frame(4096 + 1);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 31 + 7);
  uint32_t transferred = 0;
  ASSERT_TRUE(m_pUsb->Write(frame.data(), 4096, &transferred));
  EXPECT_EQ(transferred, 4097u);
  const auto writes = Double().Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].pipeId, 0x01);
  EXPECT_EQ(writes[0].bufferLength, 4097u);
  EXPECT_EQ(writes[0].data, frame);
  EXPECT_TRUE(Double().Calls(Call::ResetPipe).empty());
}

TEST_F(UsbClientTest, ShortWriteReportsWhatTheDeviceTook) {
  ASSERT_TRUE(Bind());
  Double().SetWriteTransferLimit(1000);
  Bytes frame(2049);
  uint32_t transferred = 0;
  EXPECT_TRUE(m_pUsb->Write(frame.data(), 2048, &transferred));
  EXPECT_EQ(transferred, 1000u);
}

TEST_F(UsbClientTest, FailedWriteResetsThePipeBeforeReturning) {
  ASSERT_TRUE(Bind());
  Double().InjectFailure({Call::WritePipe, ERROR_GEN_FAILURE});
  Bytes frame(129);
  uint32_t transferred = 77;
  EXPECT_FALSE(m_pUsb->Write(frame.data(), 128, &transferred));
  // The write's own error survives the reset.
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(transferred, 0u);
  const auto calls = Double().Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].call, Call::WritePipe);
  EXPECT_EQ(calls[1].call, Call::ResetPipe);
  EXPECT_EQ(calls[1].pipeId, 0x01);

  // The caller's immediate retry goes out on the clean pipe.
  EXPECT_TRUE(m_pUsb->Write(frame.data(), 128, &transferred));
  EXPECT_EQ(Double().Calls(Call::ResetPipe).size(), 1u);
}

TEST_F(UsbClientTest, StalledWriteEndsAtThePipeTimeout) {
  ASSERT_TRUE(Bind());
  Double().SetWriteDelay(5000);
  Bytes frame(129);
  uint32_t transferred = 0;
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(m_pUsb->Write(frame.data(), 128, &transferred));
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  EXPECT_GE(elapsed, 900u);
  EXPECT_LT(elapsed, 3000u);
  EXPECT_EQ(Double().Calls(Call::ResetPipe).size(), 1u);
}

TEST_F(UsbClientTest, WriteRefusesLengthsThatWouldWrap) {
  ASSERT_TRUE(Bind());
  uint8_t byte = 0;
  uint32_t transferred = 5;
  EXPECT_FALSE(m_pUsb->Write(&byte, UINT32_MAX, &transferred));
  EXPECT_FALSE(m_pUsb->Write(nullptr, 10, &transferred));
  EXPECT_EQ(transferred, 0u);
  EXPECT_TRUE(Double().Writes().empty());
}

// A control request from another thread waits until the write in progress
// (and its reset) is over: the device never sees the two interleaved.
TEST_F(UsbClientTest, ControlRequestWaitsForTheWriteInProgress) {
  ASSERT_TRUE(Bind());
  HANDLE hWriting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE hRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Double().SetWriteHook([&](const Bytes&) {
    SetEvent(hWriting);
    WaitForSingleObject(hRelease, 5000);
  });
  Double().InjectFailure({Call::WritePipe, ERROR_GEN_FAILURE});

  std::thread writer([&] {
    Bytes frame(257);
    uint32_t transferred = 0;
    m_pUsb->Write(frame.data(), 256, &transferred);
  });
  ASSERT_EQ(WaitForSingleObject(hWriting, 5000), WAIT_OBJECT_0);
  std::atomic<bool> done{false};
  std::thread requester([&] {
    m_pUsb->SetValue82(1);
    done = true;
  });
  Sleep(100);
  EXPECT_FALSE(done.load());
  EXPECT_TRUE(Double().Controls().empty());
  SetEvent(hRelease);
  writer.join();
  requester.join();

  const auto calls = Double().Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].call, Call::WritePipe);
  EXPECT_EQ(calls[1].call, Call::ResetPipe);
  EXPECT_EQ(calls[2].call, Call::ControlTransfer);
  Double().SetWriteHook(nullptr);
  CloseHandle(hWriting);
  CloseHandle(hRelease);
}

}  // namespace
}  // namespace usbtest
