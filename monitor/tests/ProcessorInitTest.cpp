// Processor set-up on the main thread: opening the device, reading the EDID
// (or falling back to the default one), plugging in the virtual monitor, and
// leaving nothing open when a step fails.
#include "DefaultEdid.h"
#include "ProcessorTestSupport.h"

namespace proctest {
namespace {

using InitTest = ProcessorTest;

TEST_F(InitTest, PlugsInTheMonitorWithTheDeviceEdid) {
  Bytes edid = EdidWithMode(800, 600);
  Double().SetEdid(edid, 256);
  CMonitorProcessor& proc = InitProcessor();

  AuvexTestMonitorInfo info = MonitorInfo();
  EXPECT_TRUE(info.plugged);
  EXPECT_EQ(info.edidSize, 256);  // the whole buffer is always passed
  EXPECT_EQ(Bytes(info.edid, info.edid + 256), edid);
  EXPECT_EQ(info.width, 800);
  EXPECT_TRUE(proc.IsMonitorActive());
  EXPECT_EQ(proc.GetDevicePath(), m_devicePath);

  // EDID size, then each block behind its own state request.
  std::vector<std::pair<int, int>> requests;
  for (const CallRecord& r : Double().Controls()) requests.push_back({r.Request(), r.Value()});
  EXPECT_EQ(requests, (std::vector<std::pair<int, int>>{
                          {kReqEdid, 0}, {kReqGetState, 0}, {kReqEdid, 1}, {kReqGetState, 0}, {kReqEdid, 2}}));
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::GetEdid", "GetEDIDSize succ size is 256"), 1);
  std::string path(m_devicePath.begin(), m_devicePath.end());
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::Init", "Init succ path is " + path), 1);
  EXPECT_EQ(CountLogContaining("GetEdid failed"), 0);
}

TEST_F(InitTest, EdidOfOneBlockIsReadWhereItEnds) {
  // Size 128: the second block is read to end at byte 128, over the first.
  Bytes edid = EdidWithMode(640, 480);
  Double().SetEdid(edid, 128);
  InitProcessor();
  AuvexTestMonitorInfo info = MonitorInfo();
  Bytes expected(edid.begin() + 128, edid.end());
  expected.resize(256, 0);
  EXPECT_EQ(Bytes(info.edid, info.edid + 256), expected);
}

// Every way the device can fail to give an EDID ends with a monitor plugged
// in with the default EDID over the first 128 bytes.
TEST_F(InitTest, UnreadableEdidFallsBackToTheDefault) {
  struct Case {
    const char* what;
    uint16_t reportedSize;
    int failRequestValueSkip;  // -1: GetEDIDSize fails; n: the n-th 0x41 request fails
    const char* message;
    int blockRequests;  // EDID block requests that reach the device
  };
  const Case cases[] = {
      {"size request fails", 256, 0, "GetEDIDSize failed", 0},
      {"first block fails", 256, 1, "GetEDIDData1 failed", 1},
      {"second block fails", 256, 2, "GetEDIDData2 failed", 2},
      // A hostile size would put the second block outside the buffer.
      {"size above 256", 300, -1, "EDID size 300 is outside 128..256", 0},
      {"size 65535", 65535, -1, "EDID size 65535 is outside 128..256", 0},
      {"size below 128", 100, -1, "EDID size 100 is outside 128..256", 0},
      {"size 0", 0, -1, "EDID size 0 is outside 128..256", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Double().Reset();
    Bytes edid = EdidWithMode(640, 480);
    Double().SetEdid(edid, c.reportedSize);
    if (c.failRequestValueSkip >= 0) {
      Failure f;
      f.call = Call::ControlTransfer;
      f.bRequest = kReqEdid;
      f.skip = static_cast<unsigned>(c.failRequestValueSkip);
      Double().InjectFailure(f);
    }
    int before = CountLogContaining("GetEdid failed so use the default Edid");
    int messagesBefore = CountLogContaining(c.message);
    CMonitorProcessor& proc = InitProcessor();
    AuvexTestMonitorInfo info = MonitorInfo();
    EXPECT_EQ(Bytes(info.edid, info.edid + kDefaultEdidSize), Bytes(g_defaultEdid, g_defaultEdid + kDefaultEdidSize));
    if (c.blockRequests < 2) {
      // Nothing reached the upper half of the buffer: still zero.
      EXPECT_EQ(Bytes(info.edid + 128, info.edid + 256), Bytes(128, 0));
    }
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.height, 1080);
    EXPECT_EQ(CountLogContaining(c.message), messagesBefore + 1);
    EXPECT_EQ(CountLogContaining("GetEdid failed so use the default Edid"), before + 1);
    EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::Init", "GetEdid failed so use the default Edid"), before + 1);
    int blocks = 0;
    for (const CallRecord& r : Double().Controls(kReqEdid))
      if (r.Value() != 0) ++blocks;
    EXPECT_EQ(blocks, c.blockRequests);
    EXPECT_EQ(proc.GetDevicePath(), m_devicePath);
    m_pProc.reset();
    AuvexTest_Reset();
  }
}

TEST_F(InitTest, DefaultEdidIsAValidBaseBlockOf1920x1080) {
  const uint8_t* e = g_defaultEdid;
  EXPECT_EQ(Bytes(e, e + 8), (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
  unsigned sum = 0;
  for (size_t i = 0; i < kDefaultEdidSize; ++i) sum += e[i];
  EXPECT_EQ(sum % 256, 0u);
  EXPECT_EQ(e[126], 1);  // one extension

  // The preferred timing, the first detailed descriptor (bytes 54..71): a
  // nonzero pixel clock (173.00 MHz in 10 kHz units) and 1920 x 1080 active.
  const uint8_t* dtd = e + 54;
  EXPECT_EQ(dtd[0] | dtd[1] << 8, 17300);
  EXPECT_EQ(dtd[2] | (dtd[4] >> 4) << 8, 1920);
  EXPECT_EQ(dtd[5] | (dtd[7] >> 4) << 8, 1080);

  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e) + 113, 11), "Usb Display");
}

TEST_F(InitTest, NullPathIsRefusedWithoutTouchingAnything) {
  CMonitorProcessor& proc = NewProcessor();
  EXPECT_FALSE(proc.Init(nullptr));
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::Init", "szDevPath is null"), 1);
  EXPECT_TRUE(Double().Calls().empty());
  EXPECT_EQ(proc.GetDevicePath(), L"");
}

TEST_F(InitTest, MissingDeviceIsLoggedWithItsError) {
  CMonitorProcessor& proc = NewProcessor();
  std::wstring missing = TestTmpPath(L"no-such-device");
  EXPECT_FALSE(proc.Init(missing.c_str()));
  EXPECT_EQ(CountLog("ERROR", "CMonitorProcessor::InitWinUsb", " CreateFile failed err is 2"), 1);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::UnInit", "Enter UnInit"), 1);
  EXPECT_TRUE(Double().Calls().empty());
  EXPECT_EQ(AuvexTest_GetMonitors(nullptr, 0), 0);
  EXPECT_EQ(proc.GetDevicePath(), L"");
}

// A failed step releases everything that earlier steps opened: the WinUSB
// interface, the device file, the monitor.
TEST_F(InitTest, FailedStepsLeaveNothingOpen) {
  struct Case {
    const char* what;
    std::function<void()> inject;
    const char* function;
    const char* message;
  };
  const Case cases[] = {
      {"WinUsb_Initialize fails",
       [] {
         Failure f;
         f.call = Call::Initialize;
         Double().InjectFailure(f);
       },
       "CMonitorProcessor::InitWinUsb", "winsub SetHandle failed"},
      {"pipe policy cannot be set",
       [] {
         Failure f;
         f.call = Call::SetPipePolicy;
         Double().InjectFailure(f);
       },
       "CMonitorProcessor::InitWinUsb", "winsub SetHandle failed"},
      {"CreateMonitorDevice fails", [] { AuvexTest_FailCreateMonitorDevice(1); }, "CMonitorProcessor::Init",
       "CreateMonitorDevice failed"},
      {"PlugInMonitor fails", [] { AuvexTest_FailPlugInMonitor(1, 5); }, "CMonitorProcessor::Init",
       "PlugInMonitor failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Double().Reset();
    AuvexTest_Reset();
    c.inject();
    int before = CountLog("ERROR", c.function, c.message);
    CMonitorProcessor& proc = NewProcessor();
    EXPECT_FALSE(proc.Init(m_devicePath.c_str()));
    EXPECT_EQ(CountLog("ERROR", c.function, c.message), before + 1);
    EXPECT_EQ(Double().OpenInterfaces(), 0u);
    EXPECT_EQ(AuvexTest_GetMonitors(nullptr, 0), 0);
    EXPECT_EQ(proc.GetDevicePath(), L"");
    EXPECT_FALSE(proc.IsMonitorActive());
    // The device file is closed: it can now be opened without sharing.
    HANDLE h = CreateFileW(m_devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "device file left open";
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    // The manager deletes the processor, which runs UnInit once more.
    int uninits = CountLog("INFO", "CMonitorProcessor::UnInit", "Enter UnInit");
    m_pProc.reset();
    EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::UnInit", "Enter UnInit"), uninits + 1);
  }
}

TEST_F(InitTest, UnInitTwiceReleasesOnce) {
  CMonitorProcessor& proc = InitProcessor();
  EXPECT_TRUE(proc.UnInit());
  EXPECT_TRUE(proc.UnInit());
  EXPECT_EQ(Double().Calls(Call::Free).size(), 1u);
  EXPECT_EQ(AuvexTest_GetMonitors(nullptr, 0), 0);
  EXPECT_EQ(CountLog("INFO", "CMonitorProcessor::UnInit", "Enter UnInit"), 2);
}

}  // namespace
}  // namespace proctest
