// The rich edit loads its module from the system folder only: a
// "riched20.dll" beside the program is never loaded, even in a process that
// leaves the DLL search as it is.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using namespace testsupport;

TEST(RichEditLoadTest, ARichEditDllBesideTheProgramIsNotLoaded) {
  const std::wstring build = WineFolderFromEnvironment(L"ORV_BINARY_DIR");
  TempFolder folder(L"orvrichedit");
  const std::string planted = ReadFileBytes(build + L"tests\\installer\\planted_dll.dll");
  ASSERT_FALSE(planted.empty());
  ASSERT_TRUE(WriteFileBytes(folder.path() + L"riched20.dll", planted));
  const std::wstring probe = folder.path() + L"orv-richedit-probe.exe";
  const std::wstring control = folder.path() + L"orv-richedit-control.exe";
  ASSERT_TRUE(::CopyFileW((build + L"tests\\skin\\richedit_probe.exe").c_str(), probe.c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((build + L"tests\\installer\\dll_probe.exe").c_str(), control.c_str(), FALSE));
  PreferDllsBesideProgram probeOverrides(L"orv-richedit-probe.exe", {L"riched20"});
  PreferDllsBesideProgram controlOverrides(L"orv-richedit-control.exe", {L"riched20"});
  const std::wstring marker = folder.path() + L"riched20.dll.loaded";

  // The control: loaded by name, the planted DLL is the one found.
  EXPECT_EQ(RunAndWait(L"\"" + control + L"\" riched20.dll"), 0);
  ASSERT_TRUE(FileExists(marker)) << "a DLL beside the program is not found by name here";
  ASSERT_TRUE(::DeleteFileW(marker.c_str()));

  EXPECT_EQ(RunAndWait(L"\"" + probe + L"\""), 0) << "the rich edit found no module";
  EXPECT_FALSE(FileExists(marker));
}

}  // namespace
