// Every escape command as the kernel-mode driver receives it: 88 bytes,
// both magics, the command and exactly its fields, the runtime's adapter and
// the right hDevice; and what Brisel takes from the answers, including failed
// escapes.
#include <algorithm>

#include "D3d9Device.h"
#include "EscapeChannel.h"
#include "SurfaceCapture.h"
#include "UmdTestSupport.h"

using namespace umdtest;
using namespace brisel;

namespace {

class EscapeChannelTest : public UmdTest {
protected:
    void SetUp() override
    {
        UmdTest::SetUp();
        m_adapter = fakes::OpenAdapter9(m_entries);
        ASSERT_EQ(m_adapter->hr, S_OK);
        m_device = fakes::CreateDevice9(*m_adapter);
        ASSERT_EQ(m_device->hr, S_OK);
        m_record = FindDeviceByRuntime(m_device->runtimeHandle);
        ASSERT_NE(m_record, nullptr);
        m_surface = NewTrackedSurface();
        m_surface->width = 1920;
        m_surface->height = 1080;
        m_surface->format = 22;
        m_surface->sourceMask = 0x4;
        m_surface->primaryAllocation = 0x321;
        m_surface->refreshNumerator = 60000;
        m_surface->refreshDenominator = 1001;
    }
    void TearDown() override
    {
        DestroyTrackedSurface(m_surface);
        if (m_device) m_device->Destroy();
        if (m_adapter) m_adapter->Close();
        UmdTest::TearDown();
    }

    // The single escape sent since the last Reset, checked for the framing
    // every packet carries.
    fakes::RecordedEscape OnlyEscape(uint32_t command, bool withDevice)
    {
        auto escapes = Kmd().Escapes();
        EXPECT_EQ(escapes.size(), 1u);
        if (escapes.empty()) return {};
        const fakes::RecordedEscape& e = escapes[0];
        EXPECT_EQ(e.hAdapter, m_adapter->runtimeHandle);
        EXPECT_EQ(e.hDevice, withDevice ? m_device->runtimeHandle : nullptr);
        EXPECT_EQ(e.flags, 0u);
        EXPECT_EQ(e.size, 88u);
        EXPECT_EQ(e.hContext, nullptr);
        EXPECT_EQ(e.U32(0), 88u);
        EXPECT_EQ(e.U32(4), 0x63736378u);
        EXPECT_EQ(e.Command(), command);
        EXPECT_EQ(e.U32(80), 0x78637363u);
        EXPECT_EQ(e.U32(84), 0u);
        return e;
    }

    // Every field of the packet other than `set` (offsets of u32 fields) is zero.
    void ExpectOnlyFields(const fakes::RecordedEscape& e, std::initializer_list<std::size_t> set)
    {
        for (std::size_t offset = 12; offset < 80; offset += 4) {
            bool expected = std::find(set.begin(), set.end(), offset) != set.end();
            if (!expected) {
                EXPECT_EQ(e.U32(offset), 0u) << "offset " << offset;
            }
        }
    }

    std::unique_ptr<fakes::Adapter9> m_adapter;
    std::unique_ptr<fakes::Device9> m_device;
    DeviceRecord* m_record = nullptr;
    TrackedSurface* m_surface = nullptr;
};

TEST_F(EscapeChannelTest, QueryActiveSourceMask)
{
    ResetKmd();
    Kmd().SetAnswer(kEscQueryActiveSourceMask, {S_OK, {{12, 0x5}}});
    EXPECT_EQ(QueryActiveSourceMask(*m_record), 0x5u);
    ExpectOnlyFields(OnlyEscape(0, false), {});

    Kmd().SetAnswer(kEscQueryActiveSourceMask, {E_FAIL, {{12, 0x5}}});
    EXPECT_EQ(QueryActiveSourceMask(*m_record), 0u) << "a failed escape reads as no source";
}

TEST_F(EscapeChannelTest, RegisterShadowBufferSendsEveryFieldAndASignExtendedAddress)
{
    const struct {
        uintptr_t address;
        uint64_t sent;
    } cases[] = {
        {0x00A00000u, 0x00A00000ull},
        {0x80001000u, 0xFFFFFFFF80001000ull},
    };
    for (const auto& c : cases) {
        ResetKmd();
        m_surface->bufferSize = 1920 * 1080 * 4;
        m_surface->bufferAddress = reinterpret_cast<void*>(c.address);
        EXPECT_EQ(RegisterShadowBuffer(*m_record, *m_surface, 0x777, 1920 * 4), S_OK);
        auto e = OnlyEscape(1, true);
        EXPECT_EQ(e.U32(12), 0x777u);
        EXPECT_EQ(e.U32(16), 1920u * 1080 * 4);
        EXPECT_EQ(e.U32(20), 0x4u);
        EXPECT_EQ(e.U32(24), 1920u);
        EXPECT_EQ(e.U32(28), 1080u);
        EXPECT_EQ(e.U32(32), 22u);
        EXPECT_EQ(e.U32(36), 1920u * 4);
        EXPECT_EQ(e.U64(48), c.sent);
        ExpectOnlyFields(e, {12, 16, 20, 24, 28, 32, 36, 48, 52});
    }
    m_surface->bufferAddress = nullptr;

    ResetKmd();
    Kmd().SetAnswer(kEscRegisterShadowBuffer, {static_cast<HRESULT>(0xC0000001), {}});
    EXPECT_EQ(RegisterShadowBuffer(*m_record, *m_surface, 0x777, 640 * 4, 0, reinterpret_cast<void*>(0x1000)),
              static_cast<HRESULT>(0xC0000001));
    auto e = OnlyEscape(1, true);
    EXPECT_EQ(e.U32(16), 640u * 4);
    EXPECT_EQ(e.U32(36), 0u);
}

TEST_F(EscapeChannelTest, ReleaseShadowBufferMasksOnlyPrimaryAllocations)
{
    const struct {
        UINT flags;
        UINT source;
        uint32_t mask;
    } cases[] = {
        {kAllocationFlagPrimary, 3, 0x8},
        {0, 3, 0},
        {kAllocationFlagPrimary, 0, 0x1},
        {kAllocationFlagPrimary, 35, 0x8},  // folds like every other source mask
    };
    for (const auto& c : cases) {
        ResetKmd();
        AllocationRecord allocation{};
        allocation.info.hAllocation = 0x55;
        allocation.info.Flags = c.flags;
        allocation.info.VidPnSourceId = c.source;
        m_surface->bufferSize = 1234;
        ReleaseShadowBuffer(*m_record, *m_surface, allocation);
        auto e = OnlyEscape(2, true);
        EXPECT_EQ(e.U32(12), 0x55u);
        EXPECT_EQ(e.U32(16), 1234u);
        EXPECT_EQ(e.U32(20), c.mask);
        EXPECT_EQ(e.U32(24), 1920u);
        EXPECT_EQ(e.U32(28), 1080u);
        EXPECT_EQ(e.U32(32), 22u);
        ExpectOnlyFields(e, {12, 16, 20, 24, 28, 32});
    }
}

TEST_F(EscapeChannelTest, QueryAllocationInfoReadsWidthHeightFormatOnlyOnSuccess)
{
    ResetKmd();
    Kmd().SetAnswer(kEscQueryAllocationInfo, {S_OK, {{16, 2560}, {20, 1440}, {24, 87}}});
    UINT w = 1, h = 2, f = 3;
    EXPECT_TRUE(QueryAllocationInfo(*m_record, 0x99, &w, &h, &f));
    EXPECT_EQ(w, 2560u);
    EXPECT_EQ(h, 1440u);
    EXPECT_EQ(f, 87u);
    auto e = OnlyEscape(9, true);
    EXPECT_EQ(e.U32(12), 0x99u);
    ExpectOnlyFields(e, {12});

    Kmd().SetAnswer(kEscQueryAllocationInfo, {E_INVALIDARG, {{16, 1}, {20, 1}, {24, 1}}});
    w = 7, h = 8, f = 9;
    EXPECT_FALSE(QueryAllocationInfo(*m_record, 0x99, &w, &h, &f));
    EXPECT_EQ(w, 7u);
    EXPECT_EQ(h, 8u);
    EXPECT_EQ(f, 9u);
}

TEST_F(EscapeChannelTest, QueryAllocationSourceMask)
{
    ResetKmd();
    Kmd().SetAnswer(kEscQueryAllocationSourceMask, {S_OK, {{16, 0x30}}});
    EXPECT_EQ(QueryAllocationSourceMask(*m_record, 0x42), 0x30u);
    auto e = OnlyEscape(10, true);
    EXPECT_EQ(e.U32(12), 0x42u);
    ExpectOnlyFields(e, {12});
    Kmd().SetAnswer(kEscQueryAllocationSourceMask, {E_FAIL, {{16, 0x30}}});
    EXPECT_EQ(QueryAllocationSourceMask(*m_record, 0x42), 0u);
}

TEST_F(EscapeChannelTest, BltPresentDoneGoesWithoutDevice)
{
    ResetKmd();
    EXPECT_EQ(BltPresentDone(*m_record, 0x43), S_OK);
    auto e = OnlyEscape(11, false);
    EXPECT_EQ(e.U32(12), 0x43u);
    ExpectOnlyFields(e, {12});
}

TEST_F(EscapeChannelTest, SetDisplayModeEndCarriesTheAnswerOfBegin)
{
    ResetKmd();
    Kmd().SetAnswer(kEscSetDisplayModeBegin, {S_OK, {{24, 5}, {40, 0xABCD}}});
    EscapePacket packet = MakeEscapePacket(kEscQueryActiveSourceMask);
    EXPECT_EQ(SetDisplayModeBegin(*m_record, *m_surface, 2, packet), S_OK);
    auto begin = OnlyEscape(12, true);
    EXPECT_EQ(begin.U32(12), 0x321u);
    EXPECT_EQ(begin.U32(16), 60000u);
    EXPECT_EQ(begin.U32(20), 1001u);
    EXPECT_EQ(begin.U32(24), 2u);
    ExpectOnlyFields(begin, {12, 16, 20, 24});

    Kmd().Reset();
    Kmd().SetAnswer(kEscSetDisplayModeEnd, {S_OK, {{24, 6}}});
    EXPECT_EQ(SetDisplayModeEnd(*m_record, packet), S_OK);
    auto end = OnlyEscape(13, true);
    EXPECT_EQ(end.U32(12), 0x321u);
    EXPECT_EQ(end.U32(24), 5u) << "the packet as the driver answered command 12";
    EXPECT_EQ(end.U32(40), 0xABCDu);
    EXPECT_EQ(AnsweredSourceId(packet), 6u);
}

TEST_F(EscapeChannelTest, PrimaryCreateBracketsCarryOneByte)
{
    const struct {
        bool proxy;
        bool before;
        uint32_t command;
        uint32_t value;
    } cases[] = {
        {true, true, 14, 1},
        {true, false, 14, 0},
        {false, true, 15, 1},
        {false, false, 15, 0},
    };
    for (const auto& c : cases) {
        ResetKmd();
        if (c.proxy) ProxySourcePrimaryCreate(*m_record, c.before);
        else OtherSourcePrimaryCreate(*m_record, c.before);
        auto e = OnlyEscape(c.command, true);
        EXPECT_EQ(e.U32(12), c.value);
        ExpectOnlyFields(e, {12});
    }
}

TEST_F(EscapeChannelTest, NoEscapeBeforeTheRuntimeGaveItsCallback)
{
    AdapterRecord* adapter = m_record->adapter;
    PFND3DDDI_ESCAPECB saved = LoadEscapeCb(adapter);
    StoreEscapeCb(adapter, nullptr);
    ResetKmd();
    EXPECT_EQ(QueryActiveSourceMask(*m_record), 0u);
    EXPECT_EQ(BltPresentDone(*m_record, 1), E_FAIL);
    EXPECT_TRUE(Kmd().Escapes().empty());
    StoreEscapeCb(adapter, saved);
}

// The release of a surface at resource destruction: one ReleaseShadowBuffer
// per recorded allocation while it has a buffer, none without one.
TEST_F(EscapeChannelTest, SurfaceReleaseSendsOneReleasePerAllocationOnlyWithABuffer)
{
    for (bool withBuffer : {true, false}) {
        SCOPED_TRACE(withBuffer ? "with buffer" : "without buffer");
        TrackedSurface* surface = NewTrackedSurface();
        surface->width = 64;
        surface->height = 32;
        surface->driverResource = reinterpret_cast<HANDLE>(0xD0);
        if (withBuffer) {
            ASSERT_TRUE(surface->EnsureBuffer());
        }
        BeginSurfaceCapture(*m_record, surface);
        EXPECT_EQ(m_record->capturingAllocations, 1);
        EXPECT_EQ(m_record->FindTrackedSurface(reinterpret_cast<HANDLE>(0xD0)), surface);

        // The real creation allocates through the wrapped callback.
        std::vector<D3DDDI_ALLOCATIONINFO> infos(3);
        ASSERT_EQ(AllocateAs(&AllocateCbWrapper, m_device->runtimeHandle, fakes::NewRuntimeHandle(),
                             m_device->args.Version, infos),
                  S_OK);
        m_record->MovePendingToSurface(surface);

        ResetKmd();
        ReleaseSurfaceAllocations(*m_record, *surface);
        auto escapes = Kmd().Escapes();
        if (withBuffer) {
            ASSERT_EQ(escapes.size(), 3u);
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(escapes[i].Command(), 2u);
                EXPECT_EQ(escapes[i].U32(12), infos[i].hAllocation) << "in recorded order";
                EXPECT_EQ(escapes[i].U32(16), 64u * 32 * 4);
            }
            EXPECT_EQ(surface->FirstAllocation(), nullptr);
        } else {
            EXPECT_TRUE(escapes.empty());
            ASSERT_NE(surface->FirstAllocation(), nullptr) << "the rest go with the surface";
            EXPECT_EQ(surface->FirstAllocation()->info.hAllocation, infos[1].hAllocation);
        }
        DropTrackedSurface(*m_record, surface);
        EXPECT_EQ(m_record->FindTrackedSurface(reinterpret_cast<HANDLE>(0xD0)), nullptr);
    }
}

}  // namespace
