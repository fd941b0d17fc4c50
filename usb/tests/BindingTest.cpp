// Binding a device: the descriptor reads, the choice of the vendor interface
// and its pipe, the pipe time-out, and teardown of the interface handle.
#include "UsbTestSupport.h"

namespace usbtest {
namespace {

// What the bound client uses, seen on the wire: the wIndex of a vendor
// request and the pipe of a bulk write.
struct Binding {
  uint16_t interfaceNumber;
  uint8_t pipe;
};

Binding Observe(WinUSB& usb) {
  CWinUsbDouble::Get().ClearRecord();
  usb.Command84();
  uint8_t frame[2] = {};
  uint32_t transferred = 0;
  usb.Write(frame, 1, &transferred);
  Binding b{0xFFFF, 0xFF};
  const auto controls = CWinUsbDouble::Get().Controls();
  if (!controls.empty()) b.interfaceNumber = controls.back().Index();
  const auto writes = CWinUsbDouble::Get().Calls(Call::WritePipe);
  if (!writes.empty()) b.pipe = writes.back().pipeId;
  return b;
}

TEST_F(UsbClientTest, BindingReadsDescriptorsAndSetsA1000msPipeTimeout) {
  m_pUsb = std::make_unique<WinUSB>();
  ASSERT_TRUE(m_pUsb->SetHandle(m_hFile));
  const auto calls = Double().Calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0].call, Call::Initialize);
  EXPECT_EQ(calls[1].call, Call::GetDescriptor);
  EXPECT_EQ(calls[1].descriptorType, 1);
  EXPECT_EQ(calls[1].descriptorIndex, 0);
  EXPECT_EQ(calls[1].bufferLength, 18u);
  // The configuration is read twice, both times with descriptor index 1:
  // its 9-byte header, then wTotalLength bytes.
  for (int i : {2, 3}) {
    EXPECT_EQ(calls[i].call, Call::GetDescriptor);
    EXPECT_EQ(calls[i].descriptorType, 2);
    EXPECT_EQ(calls[i].descriptorIndex, 1);
    EXPECT_EQ(calls[i].languageId, 0);
  }
  EXPECT_EQ(calls[2].bufferLength, 9u);
  EXPECT_EQ(calls[3].bufferLength, 25u);
  EXPECT_EQ(calls[4].call, Call::GetPipePolicy);
  EXPECT_EQ(calls[4].policyType, static_cast<ULONG>(PIPE_TRANSFER_TIMEOUT));
  EXPECT_EQ(calls[5].call, Call::SetPipePolicy);
  EXPECT_EQ(calls[5].pipeId, 0x01);
  EXPECT_EQ(calls[5].policyValue, 1000u);
  EXPECT_EQ(Double().PipeTimeout(0x01), 1000u);
  EXPECT_TRUE(Double().Calls(Call::ControlTransfer).empty());
}

TEST_F(UsbClientTest, VendorInterfaceAfterANonVendorOneIsTheOneUsed) {
  Double().SetConfiguration(DescriptorBuilder()
                                .Configuration(2)
                                .Interface(0, 0x03)  // HID first
                                .Raw({9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x40, 0})
                                .Endpoint(0x81, 0x03, 8)
                                .Interface(1, 0xFF)
                                .Endpoint(0x02, 0x02, 512)
                                .Interface(2, 0xFF)  // a second vendor interface is ignored
                                .Endpoint(0x03, 0x02, 512)
                                .Build());
  ASSERT_TRUE(Bind());
  const Binding b = Observe(*m_pUsb);
  EXPECT_EQ(b.interfaceNumber, 1);
  EXPECT_EQ(b.pipe, 0x02);
  EXPECT_EQ(Double().PipeTimeout(0x02), 1000u);
}

TEST_F(UsbClientTest, WithoutAVendorInterfaceTheLastDescriptorsSeenStay) {
  Double().SetConfiguration(DescriptorBuilder()
                                .Configuration(2)
                                .Interface(4, 0x08)
                                .Endpoint(0x05, 0x02)
                                .Interface(6, 0x0A)
                                .Endpoint(0x07, 0x02)
                                .Build());
  ASSERT_TRUE(Bind());
  const Binding b = Observe(*m_pUsb);
  EXPECT_EQ(b.interfaceNumber, 6);
  EXPECT_EQ(b.pipe, 0x07);
}

TEST_F(UsbClientTest, InvalidHandleIsRefusedBeforeWinUsb) {
  WinUSB usb;
  EXPECT_FALSE(usb.SetHandle(INVALID_HANDLE_VALUE));
  EXPECT_TRUE(Double().Calls().empty());
}

TEST_F(UsbClientTest, FailedInitialiseLeavesNothingToFree) {
  Double().InjectFailure({Call::Initialize, ERROR_NOT_ENOUGH_MEMORY});
  {
    WinUSB usb;
    EXPECT_FALSE(usb.SetHandle(m_hFile));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  }
  EXPECT_TRUE(Double().Calls(Call::Free).empty());
  // The device file stays open for its owner.
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(m_hFile, &flags));
}

TEST_F(UsbClientTest, PipePolicyFailuresFailTheBindingAndStillFreeOnDelete) {
  for (Call failing : {Call::GetPipePolicy, Call::SetPipePolicy}) {
    SCOPED_TRACE(winusb_double::CallName(failing));
    Double().Reset();
    Double().InjectFailure({failing, ERROR_GEN_FAILURE});
    EXPECT_FALSE(Bind());
    m_pUsb.reset();
    EXPECT_EQ(Double().Calls(Call::Free).size(), 1u);
    EXPECT_EQ(Double().OpenInterfaces(), 0u);
  }
}

TEST_F(UsbClientTest, DestructionFreesTheInterfaceOnce) {
  ASSERT_TRUE(Bind());
  m_pUsb.reset();
  const auto frees = Double().Calls(Call::Free);
  ASSERT_EQ(frees.size(), 1u);
  EXPECT_TRUE(frees[0].result);
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(m_hFile, &flags)) << "device file must stay open";
}

TEST_F(UsbClientTest, SecondBindingOfOneObjectIsRefused) {
  ASSERT_TRUE(Bind());
  EXPECT_FALSE(m_pUsb->SetHandle(m_hFile));
  EXPECT_TRUE(Double().Calls(Call::Initialize).empty());
}

}  // namespace
}  // namespace usbtest
