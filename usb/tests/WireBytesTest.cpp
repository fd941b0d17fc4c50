// Every request of the USB client, byte for byte as it reaches the wire.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "UsbTestSupport.h"

namespace usbtest {
namespace {

struct WireCase {
  const char* szName;
  std::function<bool(WinUSB&)> call;
  Bytes setup;  // of the request itself (the last control transfer)
  Bytes data;   // OUT data stage
};

// Interface number 3, so that wIndex shows up in every packet.
class WireBytesTest : public UsbClientTest {
 protected:
  void SetUp() override {
    UsbClientTest::SetUp();
    Double().SetConfiguration(winusb_double::MakeDisplayConfiguration(3, 0x01));
    ASSERT_TRUE(Bind());
  }
};

TEST_F(WireBytesTest, EveryRequestHasItsSetupPacketAndDataStage) {
  uint8_t buffer[64] = {};
  const WireCase cases[] = {
      {"GetState", [&](WinUSB& u) { return u.GetState(buffer); }, {0xC1, 0x40, 0, 0, 3, 0, 2, 0}, {}},
      {"GetEDIDSize",
       [&](WinUSB& u) {
         uint16_t size;
         return u.GetEDIDSize(&size);
       },
       {0xC1, 0x41, 0, 0, 3, 0, 2, 0},
       {}},
      {"ReadData43", [&](WinUSB& u) { return u.ReadData43(buffer, 10); }, {0xC1, 0x43, 0, 0, 3, 0, 10, 0}, {}},
      {"SetValue82",
       [](WinUSB& u) { return u.SetValue82(0x1234); },
       {0x41, 0x82, 0x34, 0x12, 3, 0, 2, 0},
       {0x34, 0x12}},
      {"Command84", [](WinUSB& u) { return u.Command84(); }, {0x41, 0x84, 0, 0, 3, 0, 2, 0}, {0, 0}},
      {"SetValue8B",
       [](WinUSB& u) { return u.SetValue8B(0xBEEF); },
       {0x41, 0x8B, 0xEF, 0xBE, 3, 0, 2, 0},
       {0xEF, 0xBE}},
      {"GetValue44", [&](WinUSB& u) { return u.GetValue44(buffer); }, {0xC1, 0x44, 0, 0, 3, 0, 2, 0}, {}},
      {"ReadData45", [&](WinUSB& u) { return u.ReadData45(buffer, 33); }, {0xC1, 0x45, 0, 0, 3, 0, 33, 0}, {}},
      {"SetConfiguration", [](WinUSB& u) { return u.SetConfiguration(1); }, {0x00, 0x09, 1, 0, 0, 0, 0, 0}, {}},
      {"SetResolution",
       [](WinUSB& u) { return u.SetResolution(0x12345, -2); },
       {0x41, 0x81, 0, 0, 3, 0, 4, 0},
       {0x45, 0x23, 0xFE, 0xFF}},
      {"SetQuantTable",
       [](WinUSB& u) {
         const uint8_t t[3] = {7, 8, 9};
         return u.SetQuantTable(t, 3, 0x0201);
       },
       {0x41, 0x83, 0x01, 0x02, 3, 0, 3, 0},
       {7, 8, 9}},
  };
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.szName);
    Double().ClearRecord();
    EXPECT_TRUE(c.call(*m_pUsb));
    const auto controls = Double().Controls();
    ASSERT_FALSE(controls.empty());
    // SetResolution ends with a GetState: its own request is the one before.
    const CallRecord& r = c.setup[1] == 0x81 ? controls.at(1) : controls.back();
    EXPECT_EQ(Hex(SetupBytes(r)), Hex(c.setup));
    if (!(r.RequestType() & 0x80)) {
      EXPECT_EQ(Hex(r.data), Hex(c.data));
    }
    EXPECT_EQ(r.bufferLength, r.Length());
  }
}

// The examples for a device whose vendor interface is number 0.
TEST_F(UsbClientTest, InterfaceZeroExamplesMatchTheWireExactly) {
  ASSERT_TRUE(Bind());

  ASSERT_TRUE(m_pUsb->SetResolution(1920, 1080));
  auto controls = Double().Controls();
  ASSERT_EQ(controls.size(), 3u);
  EXPECT_EQ(Hex(SetupBytes(controls[1])), "41 81 00 00 00 00 04 00");
  EXPECT_EQ(Hex(controls[1].data), "80 07 38 04");

  Double().ClearRecord();
  uint8_t block[128];
  ASSERT_TRUE(m_pUsb->GetEDIDData(block, 2));
  controls = Double().Controls();
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(Hex(SetupBytes(controls[0])), "C1 40 00 00 00 00 02 00");
  EXPECT_EQ(Hex(SetupBytes(controls[1])), "C1 41 02 00 00 00 80 00");

  Double().ClearRecord();
  Bytes payload(138);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_TRUE(m_pUsb->SetQuantTable(payload.data(), 138, 1));
  controls = Double().Controls();
  ASSERT_EQ(controls.size(), 1u);
  EXPECT_EQ(Hex(SetupBytes(controls[0])), "41 83 01 00 00 00 8A 00");
  EXPECT_EQ(controls[0].data, payload);

  Double().ClearRecord();
  Double().SetInAnswer(0x41, 0, {0x00, 0x01});
  uint16_t size = 0;
  ASSERT_TRUE(m_pUsb->GetEDIDSize(&size));
  EXPECT_EQ(size, 256);
  controls = Double().Controls();
  ASSERT_EQ(controls.size(), 1u);
  EXPECT_EQ(Hex(SetupBytes(controls[0])), "C1 41 00 00 00 00 02 00");
}

TEST_F(UsbClientTest, EdidBlocksArriveInTheCallersBuffer) {
  Bytes edid(256);
  for (size_t i = 0; i < edid.size(); ++i) edid[i] = static_cast<uint8_t>(255 - i);
  Double().SetEdid(edid, 256);
  ASSERT_TRUE(Bind());
  uint8_t block[2][128];
  ASSERT_TRUE(m_pUsb->GetEDIDData(block[0], 1));
  ASSERT_TRUE(m_pUsb->GetEDIDData(block[1], 2));
  EXPECT_EQ(Bytes(block[0], block[0] + 128), Bytes(edid.begin(), edid.begin() + 128));
  EXPECT_EQ(Bytes(block[1], block[1] + 128), Bytes(edid.begin() + 128, edid.end()));
}

TEST_F(UsbClientTest, StateAndValue44ClearTheirSecondByte) {
  Double().SetInAnswer(0x40, 0, {0xAB, 0xCD});
  Double().SetInAnswer(0x44, 0, {0x12, 0x34});
  ASSERT_TRUE(Bind());
  uint8_t state[2] = {0xCC, 0xCC};
  ASSERT_TRUE(m_pUsb->GetState(state));
  EXPECT_EQ(state[0], 0xAB);
  EXPECT_EQ(state[1], 0x00);
  uint8_t value[2] = {0xCC, 0xCC};
  ASSERT_TRUE(m_pUsb->GetValue44(value));
  EXPECT_EQ(value[0], 0x12);
  EXPECT_EQ(value[1], 0x00);
}

TEST_F(UsbClientTest, EdidRequestIsNotSentWhenStateFails) {
  ASSERT_TRUE(Bind());
  Double().InjectFailure({Call::ControlTransfer, ERROR_GEN_FAILURE, 0x40});
  uint8_t block[128];
  std::memset(block, 0xCC, sizeof(block));
  EXPECT_FALSE(m_pUsb->GetEDIDData(block, 1));
  EXPECT_TRUE(Double().Controls(0x41).empty());
  EXPECT_EQ(Double().Controls().size(), 1u);
}

TEST_F(UsbClientTest, SetResolutionMakesThreeTransfersThenPauses) {
  ASSERT_TRUE(Bind());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(m_pUsb->SetResolution(800, 600));
  const ULONGLONG returnedTick = GetTickCount64();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto controls = Double().Controls();
  ASSERT_EQ(controls.size(), 3u);
  EXPECT_EQ(controls[0].Request(), 0x40);
  EXPECT_EQ(controls[1].Request(), 0x81);
  EXPECT_EQ(controls[2].Request(), 0x40);
  // Wine's timers may wake a fraction of a millisecond early.
  EXPECT_GE(elapsed, std::chrono::milliseconds(28));
  // The pause comes after the last transfer (tick granularity allowed for).
  EXPECT_GE(returnedTick - controls[2].tickMs, 15u);
}

TEST_F(UsbClientTest, SetResolutionStopsAtTheFirstFailedTransfer) {
  struct Case {
    int bRequest;
    unsigned skip;
    size_t transfers;
  } cases[] = {{0x40, 0, 1}, {0x81, 0, 2}, {0x40, 1, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "request " << c.bRequest << " skip " << c.skip);
    // No pause after a failure: the fastest of three tries stays below it,
    // however busy the machine is for one of them.
    auto fastest = std::chrono::steady_clock::duration::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
      m_pUsb.reset();
      Double().Reset();
      ASSERT_TRUE(Bind());
      Double().InjectFailure({Call::ControlTransfer, ERROR_GEN_FAILURE, c.bRequest, c.skip});
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(m_pUsb->SetResolution(1024, 768));
      fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
      EXPECT_EQ(Double().Controls().size(), c.transfers);
    }
    EXPECT_LT(fastest, std::chrono::milliseconds(28));
  }
}

TEST_F(UsbClientTest, ControlFailureReportsFalseWithTheDeviceError) {
  ASSERT_TRUE(Bind());
  Double().InjectFailure({Call::ControlTransfer, ERROR_SEM_TIMEOUT, 0x83});
  const uint8_t table[4] = {1, 2, 3, 4};
  EXPECT_FALSE(m_pUsb->SetQuantTable(table, 4, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  EXPECT_TRUE(m_pUsb->SetQuantTable(table, 4, 1));
}

// A short IN answer is still a success; what the device did not send stays
// as the caller left it (GetEDIDSize reads a missing high byte as 0).
TEST_F(UsbClientTest, ShortInAnswersSucceedWithoutOverrunningBuffers) {
  Double().SetInAnswer(0x41, 0, {0x80});
  Double().SetInAnswer(0x43, 0, Bytes(300, 0x5A));
  ASSERT_TRUE(Bind());
  uint16_t size = 0xFFFF;
  ASSERT_TRUE(m_pUsb->GetEDIDSize(&size));
  EXPECT_EQ(size, 0x80);
  uint8_t buffer[12];
  std::memset(buffer, 0xCC, sizeof(buffer));
  ASSERT_TRUE(m_pUsb->ReadData43(buffer, 8));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(buffer[i], 0x5A);
  for (int i = 8; i < 12; ++i) EXPECT_EQ(buffer[i], 0xCC) << "byte " << i;
}

TEST_F(UsbClientTest, UsbMajorVersionComesFromAFullDeviceDescriptor) {
  Double().SetDeviceDescriptor(winusb_double::MakeDeviceDescriptor(0x0310));
  ASSERT_TRUE(Bind());
  EXPECT_EQ(m_pUsb->GetUsbMajorVersion(), 3);
  Bytes truncated = winusb_double::MakeDeviceDescriptor(0x0200);
  truncated.resize(17);
  Double().SetDeviceDescriptor(truncated);
  EXPECT_EQ(m_pUsb->GetUsbMajorVersion(), 0);
}

TEST_F(UsbClientTest, RequestsLargerThanASetupPacketCanSayAreRefused) {
  ASSERT_TRUE(Bind());
  std::vector<uint8_t> big(0x10000);
  EXPECT_FALSE(m_pUsb->ReadData45(big.data(), 0x10000));
  EXPECT_FALSE(m_pUsb->SetQuantTable(nullptr, 4, 1));
  EXPECT_TRUE(Double().Controls().empty());
}

}  // namespace
}  // namespace usbtest
