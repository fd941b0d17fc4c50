// The handle wrapper releases each handle exactly once, whatever moves,
// resets and out-parameter reuses happen in between.
#include <gtest/gtest.h>

#include <utility>

#include "ScopedHandle.h"

namespace {

bool IsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

TEST(ScopedHandle, DestructionClosesOnce) {
  HANDLE raw = NewEvent();
  {
    CScopedKernelHandle h(raw);
    EXPECT_TRUE(h.IsValid());
  }
  EXPECT_FALSE(IsOpen(raw));
}

TEST(ScopedHandle, MoveTransfersOwnershipWithoutClosing) {
  HANDLE raw = NewEvent();
  CScopedKernelHandle a(raw);
  CScopedKernelHandle b(std::move(a));
  EXPECT_FALSE(a.IsValid());
  EXPECT_EQ(b.Get(), raw);
  EXPECT_TRUE(IsOpen(raw));

  HANDLE other = NewEvent();
  CScopedKernelHandle c(other);
  c = std::move(b);  // the handle c held is released, raw moves in
  EXPECT_FALSE(IsOpen(other));
  EXPECT_TRUE(IsOpen(raw));
  c = std::move(c);  // self-move keeps the handle
  EXPECT_TRUE(IsOpen(raw));
  c.Reset();
  EXPECT_FALSE(IsOpen(raw));
}

TEST(ScopedHandle, ReleaseGivesUpOwnership) {
  HANDLE raw = NewEvent();
  {
    CScopedKernelHandle h(raw);
    EXPECT_EQ(h.Release(), raw);
    EXPECT_FALSE(h);
  }
  EXPECT_TRUE(IsOpen(raw));
  CloseHandle(raw);
}

TEST(ScopedHandle, ReceiveReleasesThePreviousHandle) {
  HANDLE first = NewEvent();
  CScopedKernelHandle h(first);
  *h.Receive() = NewEvent();
  EXPECT_FALSE(IsOpen(first));
  EXPECT_TRUE(IsOpen(h.Get()));
}

TEST(ScopedHandle, FileHandlesUseInvalidHandleValueAsNone) {
  CScopedFile none;
  EXPECT_EQ(none.Get(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(none);
  CScopedFile failed(CreateFileW(L"Z:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(failed);  // and its destruction closes nothing

  wchar_t szSelf[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
  HANDLE raw = CreateFileW(szSelf, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  { CScopedFile file(raw); }
  EXPECT_FALSE(IsOpen(raw));
}

TEST(ScopedHandle, ModulesAreFreed) {
  HMODULE raw = LoadLibraryW(L"version.dll");
  ASSERT_NE(raw, nullptr);
  wchar_t szName[MAX_PATH];
  {
    CScopedModule module(raw);
    EXPECT_NE(GetModuleFileNameW(raw, szName, MAX_PATH), 0u);
  }
  // Loaded by us alone, so the last reference is gone.
  EXPECT_EQ(GetModuleHandleW(L"version.dll"), nullptr);
}

}  // namespace
