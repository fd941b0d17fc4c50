// Which D3D9 device entries Brisel wraps for each runtime Version, which
// creations it tracks (flags, size, compositor host), the compositor's
// multimedia scheduling switched on once per adapter, MatchGdiPrimary
// cleared only for primaries on sources the kernel-mode driver serves,
// DirectFlip never reported, and wrappers that refuse unknown devices.
#include "D3d9Present.h"
#include "D3d9Resources.h"
#include "D3d9TestSupport.h"

using namespace umdtest;

namespace {

using D3d9WrapperTest = D3d9Test;

template <class Fn>
DdiProc P(Fn fn)
{
    return reinterpret_cast<DdiProc>(fn);
}

TEST_F(D3d9WrapperTest, WrappedEntriesAndCopySizeFollowTheRuntimeVersion)
{
    const DdiProc wrappers[] = {
        P(&brisel::D3d9CreateResourceWrapper), P(&brisel::D3d9DestroyResourceWrapper),
        P(&brisel::D3d9SetDisplayModeWrapper), P(&brisel::D3d9PresentWrapper),
        P(&brisel::D3d9DestroyDeviceWrapper),  P(&brisel::D3d9OpenResourceWrapper),
    };
    const unsigned always[] = {kD3d9CreateResource, kD3d9DestroyResource, kD3d9SetDisplayMode,
                               kD3d9Present,        kD3d9DestroyDevice,   kD3d9OpenResource};
    const struct {
        UINT version;
        UINT bytes;
        bool late3004;  // pfnCheckDirectFlipSupport and pfnCreateResource2 wrapped
        bool late4002;  // pfnPresent1 wrapped
    } cases[] = {
        {0x2002, 396, false, false}, {0x2003, 484, false, false}, {0x3003, 484, false, false},
        {0x3004, 524, true, false},  {0x4001, 524, true, false},  {0x4002, 560, true, true},
        {0x5002, 564, true, true},   {0x6001, 572, true, true},   {0x7000, 572, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version);
        fakes::Device9& device = NewDevice(c.version);
        brisel::D3d9DeviceRecord* record = RecordOf(device);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->realDeviceFuncsBytes, c.bytes);
        // Nothing of the real table beyond the copied bytes is kept.
        for (unsigned i = c.bytes / sizeof(DdiProc); i < kD3d9DeviceFuncCount; ++i) {
            EXPECT_EQ(record->realDeviceFuncs.entries[i], nullptr) << "entry " << i;
        }
        for (unsigned i = 0; i < 6; ++i) {
            EXPECT_EQ(device.funcs.entries[always[i]], wrappers[i]) << always[i];
        }

        const bool directFlip =
            device.funcs.entries[kD3d9CheckDirectFlipSupport] == P(&brisel::D3d9CheckDirectFlipSupportWrapper);
        const bool create2 = device.funcs.entries[kD3d9CreateResource2] == P(&brisel::D3d9CreateResource2Wrapper);
        const bool present1 = device.funcs.entries[kD3d9Present1] == P(&brisel::D3d9Present1Wrapper);
        EXPECT_EQ(directFlip, c.late3004);
        EXPECT_EQ(create2, c.late3004);
        EXPECT_EQ(present1, c.late4002);
        // Where a late entry exists but is not wrapped, the runtime keeps the real one.
        if (!c.late4002 && c.bytes > kD3d9Present1 * sizeof(DdiProc)) {
            EXPECT_EQ(device.funcs.entries[kD3d9Present1], record->realDeviceFuncs.entries[kD3d9Present1]);
        }
        if (!c.late3004 && c.bytes > kD3d9CreateResource2 * sizeof(DdiProc)) {
            EXPECT_EQ(device.funcs.entries[kD3d9CreateResource2],
                      record->realDeviceFuncs.entries[kD3d9CreateResource2]);
        }
        EXPECT_EQ(device.funcs.entries[kD3d9Blt], record->realDeviceFuncs.entries[kD3d9Blt]) << "Blt is not wrapped";
    }
}

TEST_F(D3d9WrapperTest, TrackingFollowsFlagsSizeAndHost)
{
    const UINT rtPrimary = kD3d9ResRenderTarget | kD3d9ResPrimary;
    const struct {
        const char* name;
        UINT flags;
        UINT width;
        UINT height;
        bool inDwm;
        bool tracked;
    } cases[] = {
        {"primary render target", rtPrimary, 1920, 1080, false, true},
        {"primary 101 x 101", rtPrimary, 101, 101, false, true},
        {"primary 100 x 800", rtPrimary, 100, 800, false, false},
        {"primary 800 x 100", rtPrimary, 800, 100, false, false},
        {"primary with DiscardRenderTarget", rtPrimary | kD3d9ResDiscardRenderTarget, 1920, 1080, false, false},
        {"primary without RenderTarget", kD3d9ResPrimary, 1920, 1080, false, false},
        {"video render target", kD3d9ResRenderTarget | kD3d9ResVideo, 1280, 720, false, true},
        {"video render target in dwm.exe", kD3d9ResRenderTarget | kD3d9ResVideo, 1280, 720, true, true},
        {"not-lockable render target", kD3d9ResRenderTarget | kD3d9ResNotLockable, 640, 480, false, true},
        {"shared render target", kD3d9ResRenderTarget | kD3d9ResSharedResource, 1024, 768, false, true},
        {"shared render target in dwm.exe", kD3d9ResRenderTarget | kD3d9ResSharedResource, 1024, 768, true, false},
        {"plain render target", kD3d9ResRenderTarget, 1920, 1080, false, false},
        {"shared texture", kD3d9ResSharedResource, 1920, 1080, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Seams().hostPath = c.inDwm ? "C:\\Windows\\System32\\DWM.EXE" : "C:\\Games\\game.exe";
        auto adapter = OpenExtraAdapter();
        auto device = fakes::CreateDevice9(*adapter);
        ASSERT_EQ(device->hr, S_OK);
        ResetKmd();
        ResourceDesc desc;
        desc.flags = c.flags;
        desc.width = c.width;
        desc.height = c.height;
        Created9 r = Create(*device, desc);
        ASSERT_EQ(r.hr, S_OK);
        auto* record = brisel::FindD3d9Device(device->args.hDevice);
        EXPECT_EQ(record->FindTrackedSurface(r.Handle()) != nullptr, c.tracked);
        EXPECT_EQ(EscapesOf(brisel::kEscRegisterShadowBuffer).size(), c.tracked ? 1u : 0u);
        EXPECT_EQ(ShadowCreations().size(), c.tracked ? 1u : 0u);
        EXPECT_EQ(Destroy(*device, r.Handle()), S_OK);
        EXPECT_EQ(device->Destroy(), S_OK);
        EXPECT_EQ(adapter->Close(), S_OK);
        FakeD3d9_Reset();
    }
}

TEST_F(D3d9WrapperTest, MultimediaSchedulingIsSwitchedOnOncePerAdapter)
{
    fakes::Device9& first = NewDevice();
    fakes::Device9& second = NewDevice();
    ResourceDesc plain;
    plain.flags = kD3d9ResRenderTarget | kD3d9ResPrimary;
    EXPECT_EQ(Create(first, plain).hr, S_OK);
    EXPECT_EQ(MmcssCalls(), 0) << "only video render targets switch it on";

    ResourceDesc video;
    video.flags = kD3d9ResRenderTarget | kD3d9ResVideo;
    video.width = 64;  // too small to be tracked: the switch does not depend on tracking
    video.height = 64;
    EXPECT_EQ(Create(first, video).hr, S_OK);
    EXPECT_EQ(MmcssCalls(), 1);
    EXPECT_EQ(Create(first, video).hr, S_OK);
    video.width = video.height = 720;
    EXPECT_EQ(Create(second, video).hr, S_OK);
    EXPECT_EQ(MmcssCalls(), 1) << "a second device of the same adapter does not call again";

    auto other = OpenExtraAdapter();
    auto device = fakes::CreateDevice9(*other);
    ASSERT_EQ(device->hr, S_OK);
    EXPECT_EQ(Create(*device, video).hr, S_OK);
    EXPECT_EQ(MmcssCalls(), 2) << "another adapter calls once of its own";
    EXPECT_EQ(device->Destroy(), S_OK);
    EXPECT_EQ(other->Close(), S_OK);
}

TEST_F(D3d9WrapperTest, MatchGdiPrimaryIsClearedOnlyOnServedSources)
{
    fakes::Device9& device = NewDevice();
    const UINT flags = kD3d9ResRenderTarget | kD3d9ResPrimary | kD3d9ResMatchGdiPrimary;
    const struct {
        const char* name;
        UINT activeMask;
        UINT sourceId;
        UINT width;
        bool cleared;
    } cases[] = {
        {"source 1 served", 0x2, 1, 1920, true},       {"source 33 folds onto bit 1", 0x2, 33, 1920, true},
        {"other sources served", 0x5, 1, 1920, false}, {"nothing served", 0x0, 1, 1920, false},
        {"untracked size", 0x2, 1, 100, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetKmd();
        FakeD3d9_Reset();
        AnswerActiveSources(c.activeMask);
        ResourceDesc desc;
        desc.flags = flags;
        desc.sourceId = c.sourceId;
        desc.width = c.width;
        Created9 r = Create(device, desc);
        ASSERT_EQ(r.hr, S_OK);
        auto creations = D3d9Calls(kD3d9CallCreateResource);
        ASSERT_GE(creations.size(), 1u);
        EXPECT_EQ(creations[0].flags, c.cleared ? flags & ~kD3d9ResMatchGdiPrimary : flags);
        EXPECT_EQ(r.args.Flags, creations[0].flags) << "the change is made in the runtime's argument";
        EXPECT_EQ(EscapesOf(brisel::kEscQueryActiveSourceMask).size(), c.width > 100 ? 1u : 0u);
        EXPECT_EQ(Destroy(device, r.Handle()), S_OK);
    }
    // A primary without MatchGdiPrimary does not ask for the active sources.
    ResetKmd();
    Created9 r = Create(device);
    EXPECT_TRUE(EscapesOf(brisel::kEscQueryActiveSourceMask).empty());
    EXPECT_EQ(Destroy(device, r.Handle()), S_OK);
}

TEST_F(D3d9WrapperTest, DirectFlipIsNeverReportedAndTheResultIsTheDrivers)
{
    fakes::Device9& device = NewDevice();
    auto check = device.Func<PFND3DDDI_CHECKDIRECTFLIPSUPPORT>(kD3d9CheckDirectFlipSupport);
    const struct {
        BOOL supported;
        HRESULT result;
    } cases[] = {{TRUE, S_OK}, {FALSE, S_OK}, {TRUE, E_FAIL}, {7, S_FALSE}};
    for (const auto& c : cases) {
        FakeD3d9_Config()->directFlipSupported = c.supported;
        FakeD3d9_Config()->directFlipResult = c.result;
        D3DDDIARG_CHECKDIRECTFLIPSUPPORT args{fakes::NewRuntimeHandle(), fakes::NewRuntimeHandle(), 0, TRUE};
        EXPECT_EQ(check(device.args.hDevice, &args), c.result);
        EXPECT_EQ(args.Supported, FALSE);
    }
    EXPECT_EQ(D3d9Calls(kD3d9CallCheckDirectFlip).size(), 4u) << "the real driver is asked every time";
}

TEST_F(D3d9WrapperTest, WrappersRefuseUnknownDevicesWithoutCallingTheDriver)
{
    HANDLE stranger = fakes::NewRuntimeHandle();
    D3DDDI_SURFACEINFO surface{1920, 1080, 0, nullptr, 0, 0};
    D3DDDIARG_CREATERESOURCE create{};
    create.pSurfList = &surface;
    create.SurfCount = 1;
    create.Flags = kD3d9ResRenderTarget | kD3d9ResPrimary;
    D3DDDIARG_CREATERESOURCE2 create2{};
    D3DDDIARG_OPENRESOURCE open{};
    D3DDDIARG_PRESENT present{};
    D3DDDIARG_PRESENT1 present1{};
    D3DDDIARG_SETDISPLAYMODE mode{};
    D3DDDIARG_CHECKDIRECTFLIPSUPPORT flip{};
    EXPECT_EQ(brisel::D3d9CreateResourceWrapper(stranger, &create), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9CreateResource2Wrapper(stranger, &create2), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9OpenResourceWrapper(stranger, &open), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9DestroyResourceWrapper(stranger, stranger), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9PresentWrapper(stranger, &present), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9Present1Wrapper(stranger, &present1), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9SetDisplayModeWrapper(stranger, &mode), E_INVALIDARG);
    EXPECT_EQ(brisel::D3d9CheckDirectFlipSupportWrapper(stranger, &flip), E_INVALIDARG);
    EXPECT_EQ(FakeD3d9_CallCount(), 0u);
    EXPECT_TRUE(Kmd().Escapes().empty());
}

TEST_F(D3d9WrapperTest, CreationsWithoutASurfaceListGoStraightToTheDriver)
{
    fakes::Device9& device = NewDevice();
    D3DDDIARG_CREATERESOURCE create{};
    create.Flags = kD3d9ResRenderTarget | kD3d9ResPrimary;
    create.hResource = fakes::NewRuntimeHandle();
    EXPECT_EQ(device.Func<PFND3DDDI_CREATERESOURCE>(kD3d9CreateResource)(device.args.hDevice, &create), S_OK);
    EXPECT_EQ(RecordOf(device)->FindTrackedSurface(create.hResource), nullptr);
    EXPECT_TRUE(Kmd().Escapes().empty());
    EXPECT_EQ(Destroy(device, create.hResource), S_OK);
}

TEST_F(D3d9WrapperTest, MalformedArgumentsReachTheDriverWithoutCapture)
{
    fakes::Device9& device = NewDevice();
    Created9 tracked = Create(device);
    ASSERT_EQ(tracked.hr, S_OK);
    ResetKmd();
    AnswerActiveSources(0x2);

    // A Present1 naming no source, and one with a null source list.
    D3DDDIARG_PRESENT1 present1{};
    present1.Flags = kD3d9PresentBlt;
    present1.SrcResources = 1;
    EXPECT_EQ(device.Func<PFND3DDDI_PRESENT1>(kD3d9Present1)(device.args.hDevice, &present1), S_OK);
    D3DDDIARG_PRESENTSURFACE surface{tracked.Handle(), 0};
    present1.phSrcResources = &surface;
    present1.SrcResources = 0;
    EXPECT_EQ(device.Func<PFND3DDDI_PRESENT1>(kD3d9Present1)(device.args.hDevice, &present1), S_OK);
    // A Blt present of a null source while a surface is listed.
    EXPECT_EQ(Present(device, nullptr, kD3d9PresentBlt), S_OK);
    EXPECT_EQ(D3d9Calls(kD3d9CallPresent1).size(), 2u);
    EXPECT_TRUE(D3d9Calls(kD3d9CallBlt).empty());

    // A fullscreen open without allocations names nothing to capture.
    D3DDDIARG_OPENRESOURCE open{};
    open.hResource = fakes::NewRuntimeHandle();
    open.Flags = kD3d9OpenFullscreen;
    EXPECT_EQ(device.Func<PFND3DDDI_OPENRESOURCE>(kD3d9OpenResource)(device.args.hDevice, &open), S_OK);
    EXPECT_EQ(RecordOf(device)->FindTrackedSurface(open.hResource), nullptr);
    EXPECT_TRUE(DebugLines().empty());

    // A mode change of a null resource.
    D3DDDIARG_SETDISPLAYMODE mode{};
    EXPECT_EQ(device.Func<PFND3DDDI_SETDISPLAYMODE>(kD3d9SetDisplayMode)(device.args.hDevice, &mode), S_OK);
    EXPECT_TRUE(Kmd().Escapes().empty());
    EXPECT_EQ(Destroy(device, open.hResource), S_OK);
    EXPECT_EQ(Destroy(device, tracked.Handle()), S_OK);
}

}  // namespace
