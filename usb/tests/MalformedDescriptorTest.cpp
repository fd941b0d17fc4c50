// Hostile or broken configuration descriptors: the walk never reads past the
// bytes the device returned, never copies a short descriptor, and stops.
// The walk's input is placed flush against an inaccessible page, so that a
// read of even one byte too many crashes the test.
#include <windows.h>

#include <cstring>

#include "UsbDescriptorWalk.h"
#include "UsbTestSupport.h"

namespace usbtest {
namespace {

// Bytes that end exactly at a PAGE_NOACCESS page.
class GuardedBytes {
 public:
  explicit GuardedBytes(const Bytes& bytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    m_pBase = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(m_pBase + page, page, PAGE_NOACCESS, &old);
    m_pData = m_pBase + page - bytes.size();
    if (!bytes.empty()) std::memcpy(m_pData, bytes.data(), bytes.size());
  }
  ~GuardedBytes() { VirtualFree(m_pBase, 0, MEM_RELEASE); }
  const uint8_t* Data() const { return m_pData; }

 private:
  uint8_t* m_pBase;
  uint8_t* m_pData;
};

struct WalkCase {
  const char* szName;
  Bytes bytes;
  bool bVendorFound;
  bool bMalformed;
  int interfaceNumber;  // copied interface's number, -1 when none copied
  int endpoint;         // copied endpoint address, kNone or kCleared
};

constexpr int kNone = -1;     // no endpoint copied
constexpr int kCleared = -2;  // vendor interface without a complete pipe: all zero

Bytes Config(std::initializer_list<Bytes> parts) {
  DescriptorBuilder b;
  b.Configuration();
  for (const Bytes& p : parts) b.Raw(p);
  return b.Build();
}

const Bytes kHidInterface = {9, 4, 0, 0, 1, 0x03, 0, 0, 0};
const Bytes kVendorInterface = {9, 4, 2, 0, 1, 0xFF, 0, 0, 0};
const Bytes kEndpoint81 = {7, 5, 0x81, 3, 8, 0, 10};
const Bytes kEndpoint02 = {7, 5, 0x02, 2, 0, 2, 0};

TEST(DescriptorWalk, MalformedSetsStopTheWalkInsideTheBuffer) {
  const WalkCase cases[] = {
      {"well formed", Config({kHidInterface, kEndpoint81, kVendorInterface, kEndpoint02}), true, false, 2, 0x02},
      {"header only", Config({}), false, false, -1, -1},
      {"shorter than a configuration header", Bytes{9, 2, 5, 0, 1}, false, true, -1, -1},
      {"nothing at all", Bytes{}, false, false, -1, -1},
      {"interface cut off by the end", Config({Bytes(kVendorInterface.begin(), kVendorInterface.begin() + 5)}), false,
       true, -1, -1},
      {"lone length byte at the end", Config({kHidInterface, Bytes{7}}), false, true, 0, kNone},
      {"bLength past the end", Config({kHidInterface, Bytes{200, 0x24, 1, 2}}), false, true, 0, -1},
      {"interface shorter than its structure", Config({Bytes{5, 4, 2, 0, 1}, kEndpoint02}), false, true, -1, -1},
      {"endpoint shorter than its structure", Config({kHidInterface, Bytes{4, 5, 0x81, 3}}), false, true, 0, -1},
      {"bLength of one", Config({Bytes{1, 4}, kVendorInterface, kEndpoint02}), false, true, -1, -1},
      {"bLength of zero ends the walk", Config({kHidInterface, Bytes{0, 4}, kVendorInterface, kEndpoint02}), false,
       false, 0, -1},
      // Without a complete descriptor after the vendor interface, an earlier
      // interface's endpoint must not pass for the vendor pipe.
      {"vendor interface is the last descriptor", Config({kEndpoint81, kVendorInterface}), true, false, 2, kCleared},
      {"vendor pipe descriptor cut off", Config({kHidInterface, kEndpoint81, kVendorInterface, Bytes{7, 5, 0x02, 2}}),
       true, true, 2, kCleared},
      {"vendor pipe descriptor too short", Config({kHidInterface, kEndpoint81, kVendorInterface, Bytes{3, 5, 0x02}}),
       true, true, 2, kCleared},
      {"vendor pipe descriptor with bLength 0",
       Config({kHidInterface, kEndpoint81, kVendorInterface, Bytes{0, 5, 0x02, 2, 0, 2, 0}}), true, false, 2, kCleared},
      {"vendor pipe descriptor of one byte", Config({kEndpoint81, kVendorInterface, Bytes{7}}), true, true, 2,
       kCleared},
      {"vendor pipe with no earlier endpoint", Config({kVendorInterface, Bytes{3, 5, 0x02}}), true, true, 2, kCleared},
      {"vendor interface followed by a class descriptor",
       Config({kVendorInterface, Bytes{7, 0x24, 9, 9, 9, 9, 9}, kEndpoint02}), true, false, 2, 9},
      {"longer interface descriptor is read by its bLength",
       Config({Bytes{12, 4, 5, 0, 1, 0xFF, 0, 0, 0, 1, 2, 3}, kEndpoint02}), true, false, 5, 0x02},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.szName);
    GuardedBytes guarded(c.bytes);
    USB_INTERFACE_DESCRIPTOR iface;
    USB_ENDPOINT_DESCRIPTOR endpoint;
    std::memset(&iface, 0xCC, sizeof(iface));
    std::memset(&endpoint, 0xCC, sizeof(endpoint));
    const UsbWalkResult result = WalkConfigurationDescriptors(guarded.Data(), c.bytes.size(), &iface, &endpoint);
    EXPECT_EQ(result.bVendorInterfaceFound, c.bVendorFound);
    EXPECT_EQ(result.bMalformed, c.bMalformed);
    if (c.interfaceNumber < 0)
      EXPECT_EQ(iface.bLength, 0xCC) << "no interface may be copied";
    else
      EXPECT_EQ(iface.bInterfaceNumber, c.interfaceNumber);
    if (c.endpoint == kNone) {
      EXPECT_EQ(endpoint.bLength, 0xCC) << "no endpoint may be copied";
    } else if (c.endpoint == kCleared) {
      const USB_ENDPOINT_DESCRIPTOR zero{};
      EXPECT_EQ(std::memcmp(&endpoint, &zero, sizeof(zero)), 0) << "the endpoint must be cleared";
    } else {
      EXPECT_EQ(endpoint.bEndpointAddress, c.endpoint);
    }
  }
}

// The whole binding against devices that lie about their configuration.
TEST_F(UsbClientTest, LyingConfigurationLengthsNeverReachTheWalk) {
  struct Case {
    const char* szName;
    Bytes configuration;
  } cases[] = {
      {"wTotalLength below 9",
       DescriptorBuilder().Configuration().Raw(kVendorInterface).Raw(kEndpoint02).TotalLength(4).Build()},
      {"wTotalLength of 0",
       DescriptorBuilder().Configuration().Raw(kVendorInterface).Raw(kEndpoint02).TotalLength(0).Build()},
      {"wTotalLength beyond what the device returns",
       DescriptorBuilder().Configuration().Raw(kVendorInterface).Raw(kEndpoint02).TotalLength(0xFFFF).Build()},
      {"configuration header cut short", Bytes{9, 2, 25, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szName);
    Double().Reset();
    Double().SetConfiguration(c.configuration);
    // No pipe was found, so the binding is refused.
    EXPECT_FALSE(Bind());
    m_pUsb.reset();
    EXPECT_TRUE(Double().Misuses().empty());
  }
}

// A vendor interface without a usable pipe fails the binding, even when an
// earlier interface's endpoint (here a HID interrupt IN) would take pipe
// policies and writes; and nothing reaches any pipe afterwards.
TEST_F(UsbClientTest, TruncatedVendorPipeLeavesNoPipeToWrite) {
  const struct {
    const char* szName;
    Bytes configuration;
  } cases[] = {
      {"pipe descriptor too short", Config({kVendorInterface, Bytes{4, 5, 0x02, 2}})},
      {"earlier endpoint, pipe too short",
       Config({kHidInterface, kEndpoint81, kVendorInterface, Bytes{4, 5, 0x02, 2}})},
      {"earlier endpoint, pipe cut off", Config({kHidInterface, kEndpoint81, kVendorInterface, Bytes{7, 5, 0x02}})},
      {"earlier endpoint, bLength 0",
       Config({kHidInterface, kEndpoint81, kVendorInterface, Bytes{0, 5, 0x02, 2, 0, 2, 0}})},
      {"earlier endpoint, vendor interface last", Config({kHidInterface, kEndpoint81, kVendorInterface})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szName);
    Double().Reset();
    Double().SetConfiguration(c.configuration);
    m_pUsb = std::make_unique<WinUSB>();
    EXPECT_FALSE(m_pUsb->SetHandle(m_hFile));
    EXPECT_EQ(Double().PipeTimeout(0x81), 0u) << "the HID pipe's policy was changed";
    EXPECT_TRUE(Double().Calls(Call::SetPipePolicy).empty());

    // The processor deletes a client whose binding failed; should a write
    // reach it anyway, no pipe is there to take it.
    Double().ClearRecord();
    uint8_t frame[2] = {};
    uint32_t transferred = 7;
    EXPECT_FALSE(m_pUsb->Write(frame, 1, &transferred));
    EXPECT_EQ(transferred, 0u);
    EXPECT_TRUE(Double().Calls(Call::WritePipe).empty());
    EXPECT_TRUE(Double().Calls(Call::ResetPipe).empty());
    m_pUsb.reset();
    EXPECT_EQ(Double().OpenInterfaces(), 0u);
  }
}

}  // namespace
}  // namespace usbtest
