#include "libinstall/7zdecompress.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "common/logging.h"
#include "common/scoped_handle.h"
#include "support/test_support.h"
#include "unpack_test_support.h"

using testsupport::FileExists;
using testsupport::FolderExists;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;
using unpacktest::CProgressRecorder;
using unpacktest::FixtureBytes;
using unpacktest::PackageItems;

namespace {

TEST(ItemPathRules, KeepsItemsInsideTheFolderOrItsParent) {
  for (const wchar_t* path : {L"a.txt", L"bin\\a.dll", L"bin/sub/a.dll", L"..\\Orvanta.exe", L"../X",
                              L"..\\bin\\a.dll", L"a..b\\c.", L".hidden"}) {
    EXPECT_TRUE(IsSafeItemPath(path)) << path;
  }
  for (const wchar_t* path :
       {L"", L"\\abs.txt", L"/abs.txt", L"\\\\server\\share\\x", L"C:\\x.txt", L"C:x.txt", L"a.txt:stream",
        L"..\\..\\x", L"..", L"..\\", L"a\\..\\..\\x", L"bin\\..\\x", L"bin\\..", L".\\x", L"a\\.\\x",
        L"a\\\\x", L"..\\...\\x", L"... \\x", L"..\\ . \\x", L"bin\\"}) {
    EXPECT_FALSE(IsSafeItemPath(path)) << path;
  }
}

class DecompressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    package_ = FixtureBytes(L"package.7z");
    ASSERT_GT(package_.size(), 1000u) << "fixture package.7z is missing";
    extraction_ = root_.path() + L"{VersionNameFolder}\\";
  }

  std::wstring Target(const std::wstring& relative) const { return extraction_ + relative; }

  // Every package item has landed with its source's bytes.
  void ExpectPackageWritten() const {
    for (const auto& item : PackageItems()) {
      const std::string expected = FixtureBytes(L"package\\" + item.source);
      EXPECT_TRUE(FileExists(Target(item.target))) << item.target;
      EXPECT_EQ(ReadFileBytes(Target(item.target)) == expected, true) << item.target;
    }
    EXPECT_TRUE(FileExists(root_.path() + L"Orvanta.exe"));
    EXPECT_FALSE(FileExists(extraction_ + L"Orvanta.exe"));
    EXPECT_EQ(testsupport::FileSize(Target(L"zero.bin")), 0u);
  }

  void ExpectNothingWritten() const {
    EXPECT_FALSE(FolderExists(extraction_));
    EXPECT_FALSE(FileExists(root_.path() + L"Orvanta.exe"));
  }

  testsupport::TempFolder root_{L"unpack"};
  std::wstring extraction_;
  std::string package_;
};

TEST_F(DecompressTest, TwoPhaseKeepsItemsInMemoryThenWritesThemWithProgress) {
  C7zDecompressImpl decompress;
  decompress.SetMaxDecoders(1);  // items in index order
  CProgressRecorder recorder;
  EXPECT_EQ(decompress.SetProgressCallBack(&recorder), 0);

  ASSERT_EQ(decompress.DecompressToMemory(package_.data(), package_.size()), S_OK);
  const size_t count = PackageItems().size();
  EXPECT_EQ(decompress.BytesInMemory(), unpacktest::PackageTotalSize());
  EXPECT_EQ(decompress.itemCount(), count);
  ExpectNothingWritten();
  ASSERT_EQ(recorder.reports.size(), count);
  for (size_t i = 0; i < count; ++i) {
    const auto& report = recorder.reports[i];
    EXPECT_EQ(report.kind, 1);
    EXPECT_EQ(report.total, static_cast<int>(count));
    EXPECT_EQ(report.index, static_cast<int>(i));
    EXPECT_EQ(report.path, PackageItems()[i].target);
  }

  // A folder without the trailing backslash, not there yet: created with its parents.
  const std::wstring folder = extraction_.substr(0, extraction_.size() - 1);
  ASSERT_EQ(decompress.WriteToFolder(folder), S_OK);
  ExpectPackageWritten();
  // Nothing of the package stays in memory once written.
  EXPECT_EQ(decompress.BytesInMemory(), 0u);
  ASSERT_EQ(recorder.reports.size(), 2 * count);
  for (size_t i = 0; i < count; ++i) {
    const auto& report = recorder.reports[count + i];
    EXPECT_EQ(report.kind, 2);
    EXPECT_EQ(report.total, static_cast<int>(count));
    EXPECT_EQ(report.index, static_cast<int>(i));
    EXPECT_EQ(report.path, PackageItems()[i].target);
  }
}

TEST_F(DecompressTest, OnePhaseWritesItemsWithoutProgress) {
  C7zDecompressImpl decompress;
  CProgressRecorder recorder;
  decompress.SetProgressCallBack(&recorder);
  ASSERT_EQ(decompress.DecompressToFolder(package_.data(), package_.size(), extraction_), S_OK);
  ExpectPackageWritten();
  EXPECT_TRUE(recorder.reports.empty());
  EXPECT_EQ(decompress.BytesInMemory(), 0u);
  // The to-folder call ends memory mode: there is nothing to write out.
  EXPECT_EQ(decompress.WriteToFolder(extraction_), E_FAIL);
}

TEST_F(DecompressTest, BothModesWorkWithoutProgressReceiver) {
  C7zDecompressImpl twoPhase;
  ASSERT_EQ(twoPhase.DecompressToMemory(package_.data(), package_.size()), S_OK);
  ASSERT_EQ(twoPhase.WriteToFolder(extraction_), S_OK);
  ExpectPackageWritten();

  testsupport::RemoveTree(root_.path());
  ::CreateDirectoryW(root_.path().c_str(), nullptr);
  C7zDecompressImpl onePhase;
  ASSERT_EQ(onePhase.DecompressToFolder(package_.data(), package_.size(), extraction_), S_OK);
  ExpectPackageWritten();
}

TEST_F(DecompressTest, ArchiveFileIsExtractedIntoFolder) {
  C7zDecompressImpl decompress;
  ASSERT_EQ(decompress.DecompressFileToFolder(unpacktest::Fixture(L"package.7z"), extraction_), S_OK);
  ExpectPackageWritten();
  EXPECT_EQ(decompress.DecompressFileToFolder(root_.path() + L"missing.7z", extraction_),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

// Whatever stands where an item goes is taken over by nothing: a file of
// the item's size (read-only, held open or plain), a hard link to a file
// elsewhere, a link to a file or a folder. The write-out fails at it with an
// ERROR record that names it, and nothing is written through a link.
TEST_F(DecompressTest, WriteOutTakesOverNothingThatIsThereAlready) {
  testsupport::TempFolder elsewhere(L"unpackvictim");
  const std::wstring victim = elsewhere.path() + L"victim.bin";
  const std::wstring item = root_.path() + L"Orvanta.exe";
  const std::wstring folder = Target(L"bin");
  const uint64_t size = FixtureBytes(L"package\\Orvanta.exe").size();
  const struct {
    const char* name;
    std::function<bool()> plant;
    std::wstring named;  // the entry planted, which the record names
    bool link;
  } cases[] = {
      {"a read-only file of the item's size",
       [&] { return WriteFileBytes(item, std::string(size, 'r')) && ::SetFileAttributesW(item.c_str(), FILE_ATTRIBUTE_READONLY); },
       item, false},
      {"a file held open", [&] { return WriteFileBytes(item, "held"); }, item, false},
      {"a hard link to a file elsewhere", [&] { return ::CreateHardLinkW(item.c_str(), victim.c_str(), nullptr) != FALSE; },
       item, false},
      {"a link to a file elsewhere", [&] { return testsupport::PlantLink(item, victim); }, item, true},
      {"a link to a folder where the item's folder goes",
       [&] { return testsupport::PlantLink(folder, elsewhere.path().substr(0, elsewhere.path().size() - 1)); }, folder,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (FolderExists(extraction_)) testsupport::RemoveTree(extraction_);
    ASSERT_TRUE(WriteFileBytes(victim, "victim"));
    ASSERT_TRUE(::CreateDirectoryW(extraction_.c_str(), nullptr));
    ASSERT_TRUE(c.plant());
    const std::string before = ReadFileBytes(c.named);
    ScopedHandle held(std::string(c.name) == "a file held open"
                          ? ::CreateFileW(item.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                          : INVALID_HANDLE_VALUE);
    C7zDecompressImpl decompress;
    decompress.SetMaxDecoders(1);
    ASSERT_EQ(decompress.DecompressToMemory(package_.data(), package_.size()), S_OK);
    const uint64_t logOffset = unpacktest::LogSize();
    EXPECT_EQ(decompress.WriteToFolder(extraction_), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    held = ScopedHandle();
    EXPECT_EQ(ReadFileBytes(victim), "victim");
    EXPECT_FALSE(FileExists(elsewhere.path() + L"a.dll"));
    EXPECT_EQ(ReadFileBytes(c.named), before);
    const std::string log = unpacktest::LogSince(logOffset);
    EXPECT_NE(log.find("目标位置已有条目，不写入：" + logging::WideToAnsi(c.named)), std::string::npos) << log;
    if (c.link) {
      testsupport::RemoveHostLink(c.named);
    } else {
      ::SetFileAttributesW(item.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(item.c_str());
    }
  }
}

// A package that cannot be written completely is of no use: the write-out
// stops at the first file that fails.
TEST_F(DecompressTest, WriteOutFailureIsReportedAndLoggedAndEndsTheWriteOut) {
  C7zDecompressImpl decompress;
  decompress.SetMaxDecoders(1);
  ASSERT_EQ(decompress.DecompressToMemory(package_.data(), package_.size()), S_OK);
  // A file stands where a folder has to go: the item in it cannot be written.
  const std::wstring blocked = Target(L"data");
  ASSERT_EQ(::SHCreateDirectoryExW(nullptr, extraction_.c_str(), nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(WriteFileBytes(blocked, "in the way"));

  const uint64_t logOffset = unpacktest::LogSize();
  const HRESULT hr = decompress.WriteToFolder(extraction_);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
  EXPECT_EQ(ReadFileBytes(Target(L"bin\\a.dll")), FixtureBytes(L"package\\bin\\a.dll"));
  const std::string log = unpacktest::LogSince(logOffset);
  const std::string record = logging::WideToAnsi(blocked) + "，错误码：" + std::to_string(HRESULT_CODE(hr));
  EXPECT_NE(log.find(record), std::string::npos) << log;
  EXPECT_EQ(decompress.BytesInMemory(), 0u);
}

TEST_F(DecompressTest, WriteToFolderWithoutMemoryDecompressionFails) {
  C7zDecompressImpl decompress;
  EXPECT_EQ(decompress.WriteToFolder(extraction_), E_FAIL);
  EXPECT_FALSE(FolderExists(extraction_));
}

TEST_F(DecompressTest, SecondMemoryDecompressionAppendsItems) {
  C7zDecompressImpl decompress;
  ASSERT_EQ(decompress.DecompressToMemory(package_.data(), package_.size()), S_OK);
  ASSERT_EQ(decompress.DecompressToMemory(package_.data(), package_.size()), S_OK);
  EXPECT_EQ(decompress.BytesInMemory(), 2 * uint64_t{unpacktest::PackageTotalSize()});
  // Each file is created as new: the second set's first item finds the
  // first set's file of its name.
  EXPECT_EQ(decompress.WriteToFolder(extraction_), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  ExpectPackageWritten();
}

TEST_F(DecompressTest, DataThatIsNoArchiveIsRefused) {
  const std::string text = FixtureBytes(L"package\\bin\\sub\\resources.txt");
  C7zDecompressImpl decompress;
  CProgressRecorder recorder;
  decompress.SetProgressCallBack(&recorder);
  EXPECT_EQ(decompress.DecompressToMemory(text.data(), text.size()), S_FALSE);
  EXPECT_EQ(decompress.BytesInMemory(), 0u);
  EXPECT_TRUE(FAILED(decompress.WriteToFolder(extraction_)));
  EXPECT_EQ(decompress.DecompressToFolder(text.data(), text.size(), extraction_), S_FALSE);
  EXPECT_EQ(decompress.DecompressToMemory(text.data(), 0), S_FALSE);
  EXPECT_TRUE(recorder.reports.empty());
  EXPECT_FALSE(FileExists(root_.path() + L"Orvanta.exe"));
}

TEST_F(DecompressTest, ArchiveWithoutItemsFails) {
  const std::string empty = FixtureBytes(L"empty.7z");
  ASSERT_FALSE(empty.empty());
  C7zDecompressImpl decompress;
  EXPECT_EQ(decompress.DecompressToMemory(empty.data(), empty.size()), E_FAIL);
  EXPECT_EQ(decompress.itemCount(), 0u);
  EXPECT_TRUE(FAILED(decompress.WriteToFolder(extraction_)));
  EXPECT_EQ(decompress.DecompressToFolder(empty.data(), empty.size(), extraction_), E_FAIL);
}

TEST_F(DecompressTest, DamagedPackageIsReportedAndNotWrittenOut) {
  std::string damaged = package_;
  damaged[32 + damaged.size() / 2] ^= 0x55;  // inside the packed streams, after the start header

  C7zDecompressImpl twoPhase;
  const uint64_t logOffset = unpacktest::LogSize();
  EXPECT_EQ(twoPhase.DecompressToMemory(damaged.data(), damaged.size()), k7zPackageDamaged);
  EXPECT_EQ(twoPhase.WriteToFolder(extraction_), k7zPackageDamaged);
  ExpectNothingWritten();
  EXPECT_NE(unpacktest::LogSince(logOffset).find("安装包条目已损坏："), std::string::npos);

  C7zDecompressImpl onePhase;
  EXPECT_EQ(onePhase.DecompressToFolder(damaged.data(), damaged.size(), extraction_), k7zPackageDamaged);

  // A cut-off archive is refused when opened.
  C7zDecompressImpl truncated;
  EXPECT_EQ(truncated.DecompressToMemory(package_.data(), package_.size() - 100), S_FALSE);
  EXPECT_TRUE(FAILED(truncated.WriteToFolder(root_.path() + L"other\\")));
  EXPECT_FALSE(FolderExists(root_.path() + L"other"));
}

TEST_F(DecompressTest, FolderEntriesBecomeFoldersInBothModes) {
  const std::string folders = FixtureBytes(L"folders.7z");
  C7zDecompressImpl twoPhase;
  ASSERT_EQ(twoPhase.DecompressToMemory(folders.data(), folders.size()), S_OK);
  ASSERT_EQ(twoPhase.WriteToFolder(extraction_), S_OK);
  EXPECT_TRUE(FolderExists(Target(L"docs\\empty")));
  EXPECT_EQ(ReadFileBytes(Target(L"docs\\more\\readme.txt")), "readme\n");

  const std::wstring other = root_.path() + L"one\\";
  C7zDecompressImpl onePhase;
  ASSERT_EQ(onePhase.DecompressToFolder(folders.data(), folders.size(), other), S_OK);
  EXPECT_TRUE(FolderExists(other + L"docs\\empty"));
  EXPECT_EQ(ReadFileBytes(other + L"docs\\more\\readme.txt"), "readme\n");
}

// A package with items that would leave the folders they may go to is
// refused whole: each such item is logged and nothing is written.
TEST_F(DecompressTest, PackagesWithItemsThatWouldLeaveTheInstallFolderAreRefused) {
  const std::string unsafe = FixtureBytes(L"unsafe.7z");
  // Extraction two levels below the temporary folder, so that escapes land
  // somewhere the test can look.
  const std::wstring install = root_.path() + L"a\\b\\";
  const std::wstring folder = install + L"{VersionNameFolder}\\";
  const HRESULT refused = HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);

  auto expectNothingWritten = [&](const std::string& log) {
    EXPECT_FALSE(FileExists(folder + L"ok.txt"));
    EXPECT_FALSE(FileExists(install + L"fine.txt"));
    EXPECT_FALSE(FileExists(root_.path() + L"a\\up2.txt"));
    EXPECT_FALSE(FileExists(install + L"inner.txt"));
    EXPECT_FALSE(FileExists(folder + L"dotted.txt"));
    EXPECT_FALSE(FileExists(root_.path() + L"a\\trail.txt"));
    EXPECT_FALSE(FileExists(L"C:\\abs.txt"));
    EXPECT_FALSE(FileExists(L"C:\\drive.txt"));
    for (const char* name : {"..\\..\\up2.txt", "a\\..\\..\\inner.txt", "\\abs.txt", "C:drive.txt",
                             "sub\\..\\dotted.txt", "..\\...\\trail.txt"}) {
      EXPECT_NE(log.find(name), std::string::npos) << name << "\n" << log;
    }
  };

  C7zDecompressImpl twoPhase;
  uint64_t logOffset = unpacktest::LogSize();
  EXPECT_EQ(twoPhase.DecompressToMemory(unsafe.data(), unsafe.size()), refused);
  EXPECT_EQ(twoPhase.WriteToFolder(folder), refused);
  expectNothingWritten(unpacktest::LogSince(logOffset));

  testsupport::RemoveTree(install);
  C7zDecompressImpl onePhase;
  logOffset = unpacktest::LogSize();
  EXPECT_EQ(onePhase.DecompressToFolder(unsafe.data(), unsafe.size(), folder), refused);
  expectNothingWritten(unpacktest::LogSince(logOffset));
}

TEST(DecodePlan, OneDecoderTakesEverythingInOrderSeveralTakeTheCostliestBlocksFirst) {
  // Block 1 unpacks to the most bytes but packs so well that it decodes
  // fastest; block 2 packs worst and has to start first.
  const std::vector<ItemPlacement> items = {
      {kNoBlock, 0, 0}, {0, 10, 20}, {0, 10, 0}, {1, 50, 5}, {kNoBlock, 0, 0}, {2, 5, 30}, {2, 40, 0}};

  const std::vector<DecodeJob> single = PlanDecodeJobs(items, 1);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].indices, (std::vector<UINT32>{0, 1, 2, 3, 4, 5, 6}));

  const std::vector<DecodeJob> jobs = PlanDecodeJobs(items, 2);
  ASSERT_EQ(jobs.size(), 4u);
  EXPECT_EQ(jobs[0].indices, (std::vector<UINT32>{5, 6}));
  EXPECT_EQ(jobs[1].indices, (std::vector<UINT32>{1, 2}));
  EXPECT_EQ(jobs[2].indices, (std::vector<UINT32>{3}));
  EXPECT_EQ(jobs[3].indices, (std::vector<UINT32>{0, 4}));  // the items without data
  EXPECT_EQ(jobs[0].bytes, 45u);
  EXPECT_EQ(jobs[0].cost, DecodeCost(30, 45));
}

TEST(ItemTargets, ParentItemsGoToTheirOwnFolderWhenOneIsGiven) {
  EXPECT_EQ(ItemTargetPath(L"C:\\P\\x\\", L"", L"bin\\a.dll"), L"C:\\P\\x\\bin\\a.dll");
  EXPECT_EQ(ItemTargetPath(L"C:\\P\\x\\", L"", L"..\\Orvanta.exe"), L"C:\\P\\x\\..\\Orvanta.exe");
  EXPECT_EQ(ItemTargetPath(L"C:\\P\\x\\", L"C:\\P\\x\\s\\", L"..\\Orvanta.exe"), L"C:\\P\\x\\s\\Orvanta.exe");
  EXPECT_EQ(ItemTargetPath(L"C:\\P\\x\\", L"C:\\P\\x\\s\\", L"../bin/b.dll"), L"C:\\P\\x\\s\\bin/b.dll");
  EXPECT_EQ(ItemTargetPath(L"C:\\P\\x\\", L"C:\\P\\x\\s\\", L"..a\\b"), L"C:\\P\\x\\..a\\b");
}

TEST(MemoryBudget, IsAQuarterOfThePhysicalMemoryUpTo512MB) {
  EXPECT_EQ(MemoryBudgetFor(1ull << 30), 256ull << 20);
  EXPECT_EQ(MemoryBudgetFor(2ull << 30), 512ull << 20);
  EXPECT_EQ(MemoryBudgetFor(64ull << 30), 512ull << 20);
}

TEST_F(DecompressTest, BlocksAreDecodedInParallelInBothModes) {
  const std::string blocks = FixtureBytes(L"blocks.7z");
  ASSERT_FALSE(blocks.empty());
  const size_t count = PackageItems().size();

  C7zDecompressImpl twoPhase;
  twoPhase.SetMaxDecoders(2);
  CProgressRecorder recorder;
  twoPhase.SetProgressCallBack(&recorder);
  ASSERT_EQ(twoPhase.DecompressToMemory(blocks.data(), blocks.size()), S_OK);
  EXPECT_EQ(twoPhase.blockCount(), 3u);
  EXPECT_EQ(twoPhase.decoderCount(), 2u);
  ASSERT_EQ(twoPhase.WriteToFolder(extraction_), S_OK);
  ExpectPackageWritten();
  // Each kind counts its items 0 .. count-1, whichever decoder had them.
  for (int kind : {1, 2}) {
    std::vector<int> positions;
    std::vector<std::wstring> paths;
    for (const auto& report : recorder.reports) {
      if (report.kind != kind) continue;
      positions.push_back(report.index);
      paths.push_back(report.path);
      EXPECT_EQ(report.total, static_cast<int>(count));
    }
    std::vector<int> expected(count);
    for (size_t i = 0; i < count; ++i) expected[i] = static_cast<int>(i);
    EXPECT_EQ(positions, expected) << "kind " << kind;
    std::sort(paths.begin(), paths.end());
    std::vector<std::wstring> targets;
    for (const auto& item : PackageItems()) targets.push_back(item.target);
    std::sort(targets.begin(), targets.end());
    EXPECT_EQ(paths, targets) << "kind " << kind;
  }

  testsupport::RemoveTree(root_.path());
  ::CreateDirectoryW(root_.path().c_str(), nullptr);
  C7zDecompressImpl onePhase;
  onePhase.SetMaxDecoders(4);
  ASSERT_EQ(onePhase.DecompressToFolder(blocks.data(), blocks.size(), extraction_), S_OK);
  EXPECT_EQ(onePhase.decoderCount(), 3u);
  ExpectPackageWritten();
}

TEST(DecodePlan, DictionariesAreReadFromTheMethodText) {
  const struct {
    const wchar_t* method;
    uint64_t total;
    uint64_t largest;
  } cases[] = {
      {L"BCJ2 LZMA:25 LZMA:19 LZMA:19", (32u << 20) + (1u << 20), 32u << 20},
      {L"LZMA:12m BCJ2", 12u << 20, 12u << 20},
      {L"LZMA2:1536k", 1536u << 10, 1536u << 10},
      {L"LZMA:24:lc4:pb0 Delta:4", 16u << 20, 16u << 20},
      {L"LZMA:77b", 77u, 77u},
      // Nothing that names no dictionary, nor sizes LZMA cannot have.
      {L"", 0, 0},
      {L"Copy BCJ2 LZMA LZMA:x LZMAX:20", 0, 0},
      {L"LZMA:40 LZMA:99999999999999999999m", 0, 0},
  };
  for (const auto& test : cases) {
    const MethodDictionaries dictionaries = DictionariesOf(test.method);
    EXPECT_EQ(dictionaries.total, test.total) << test.method;
    EXPECT_EQ(dictionaries.largest, test.largest) << test.method;
  }
}

TEST(DecodePlan, DecodersLeaveHalfTheBudgetToTheData) {
  EXPECT_EQ(DecodersWithinBudget(2, 32u << 20, 512u << 20), 2u);
  EXPECT_EQ(DecodersWithinBudget(4, 32u << 20, 128u << 20), 2u);
  EXPECT_EQ(DecodersWithinBudget(2, 32u << 20, 64u << 20), 1u);
  EXPECT_EQ(DecodersWithinBudget(2, 32u << 20, 1u << 20), 1u);
  EXPECT_EQ(DecodersWithinBudget(0, 0, 0), 1u);
}

TEST(DecodePlan, DecodersWhileWritingFitTheWorkingSet) {
  constexpr uint64_t kMiB = 1ull << 20;
  const struct {
    unsigned wanted;
    uint64_t memoryPerDecoder, workingSet;
    unsigned decoders;
  } cases[] = {
      {2, 33 * kMiB, 128 * kMiB, 2},   // the product's 32 MiB dictionaries on 2 cores
      {4, 33 * kMiB, 128 * kMiB, 2},   // ... on 4 and 8 cores: no more than on 2
      {8, 33 * kMiB, 128 * kMiB, 2},
      {8, 4 * kMiB, 128 * kMiB, 7},    // small blocks: more decoders fit
      {16, 1 * kMiB, 128 * kMiB, 9},
      {3, 1 * kMiB, 128 * kMiB, 3},    // never more than asked for
      {8, 33 * kMiB, 256 * kMiB, 5},
      {8, 33 * kMiB, 64 * kMiB, 1},    // at least one, however small the budget
      {8, 33 * kMiB, 16 * kMiB, 1},
      {0, 0, 0, 1},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(DecodersWithinWorkingSet(test.wanted, test.memoryPerDecoder, test.workingSet), test.decoders)
        << test.wanted << " wanted, " << test.memoryPerDecoder / kMiB << " MiB each, " << test.workingSet / kMiB
        << " MiB";
  }
}

TEST_F(DecompressTest, DamageInOneBlockFailsTheParallelDecoding) {
  std::string damaged = FixtureBytes(L"blocks.7z");
  damaged[64 + damaged.size() / 3] ^= 0x55;
  C7zDecompressImpl twoPhase;
  twoPhase.SetMaxDecoders(2);
  EXPECT_EQ(twoPhase.DecompressToMemory(damaged.data(), damaged.size()), k7zPackageDamaged);
  EXPECT_EQ(twoPhase.WriteToFolder(extraction_), k7zPackageDamaged);
  ExpectNothingWritten();
  EXPECT_EQ(twoPhase.BytesInMemory(), 0u);

  C7zDecompressImpl onePhase;
  onePhase.SetMaxDecoders(2);
  EXPECT_EQ(onePhase.DecompressToFolder(damaged.data(), damaged.size(), extraction_), k7zPackageDamaged);
}

// Polls `done` for up to `ms` milliseconds.
template <class Done>
bool WaitUntil(Done done, DWORD ms) {
  for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < ms; ::Sleep(10))
    if (done()) return true;
  return done();
}

// A package larger than the memory budget: decoding waits with the budget
// full until the folder is known, then the rest streams into the files.
TEST_F(DecompressTest, DecodingWaitsAtTheMemoryBudgetUntilTheFolderIsKnown) {
  constexpr uint64_t kBudget = 1 << 20;
  C7zDecompressImpl decompress;
  decompress.SetMemoryBudget(kBudget);
  std::atomic<bool> done{false};
  HRESULT decoded = E_PENDING;
  std::thread background([&] {
    decoded = decompress.DecompressToMemory(package_.data(), package_.size());
    done = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return decompress.BytesInMemory() > 0; }, 10000));
  ::Sleep(300);
  EXPECT_FALSE(done.load());
  EXPECT_LE(decompress.BytesInMemory(), kBudget);
  ExpectNothingWritten();

  decompress.StartWriteToFolder(extraction_);
  background.join();
  EXPECT_EQ(decoded, S_OK);
  EXPECT_EQ(decompress.WriteToFolder(extraction_), S_OK);
  ExpectPackageWritten();
}

TEST_F(DecompressTest, CancelEndsAWaitingDecodingAndWritesNothing) {
  C7zDecompressImpl decompress;
  decompress.SetMemoryBudget(1 << 20);
  HRESULT decoded = E_PENDING;
  std::thread background([&] { decoded = decompress.DecompressToMemory(package_.data(), package_.size()); });
  ASSERT_TRUE(WaitUntil([&] { return decompress.BytesInMemory() > 0; }, 10000));
  const DWORD start = ::GetTickCount();
  decompress.Cancel();
  background.join();
  EXPECT_LT(::GetTickCount() - start, 2000u);
  EXPECT_EQ(decoded, E_ABORT);
  EXPECT_EQ(decompress.BytesInMemory(), 0u);
  EXPECT_TRUE(FAILED(decompress.WriteToFolder(extraction_)));
  ExpectNothingWritten();
}

TEST_F(DecompressTest, ParentItemsCanBeStagedInAFolderOfTheirOwn) {
  const std::wstring staged = extraction_ + L"{InstallFolderItems}";
  for (int twoPhase = 0; twoPhase < 2; ++twoPhase) {
    testsupport::RemoveTree(root_.path());
    ::CreateDirectoryW(root_.path().c_str(), nullptr);
    C7zDecompressImpl decompress;
    decompress.SetParentItemsFolder(staged);
    if (twoPhase) {
      ASSERT_EQ(decompress.DecompressToMemory(package_.data(), package_.size()), S_OK);
      ASSERT_EQ(decompress.WriteToFolder(extraction_), S_OK);
    } else {
      ASSERT_EQ(decompress.DecompressToFolder(package_.data(), package_.size(), extraction_), S_OK);
    }
    EXPECT_EQ(ReadFileBytes(staged + L"\\Orvanta.exe"), FixtureBytes(L"package\\Orvanta.exe"));
    EXPECT_FALSE(FileExists(root_.path() + L"Orvanta.exe"));
    EXPECT_EQ(ReadFileBytes(Target(L"bin\\a.dll")), FixtureBytes(L"package\\bin\\a.dll"));
  }
}

// The fixture's blocks hold 7.4, 3 and 1.5 MB and decode with 13 MB of
// dictionaries, of which a decoder touches as much as its block fills: with
// 16 MiB two decoders would leave too little for the data.
TEST_F(DecompressTest, DecoderDictionariesCountAgainstTheMemoryBudget) {
  const std::string blocks = FixtureBytes(L"blocks.7z");
  ASSERT_FALSE(blocks.empty());
  constexpr uint64_t kLargestBlock = 2 * 3724503;
  for (const auto& [budget, decoders] : {std::pair<uint64_t, unsigned>{16 << 20, 1}, {64 << 20, 2}}) {
    testsupport::RemoveTree(root_.path());
    ::CreateDirectoryW(root_.path().c_str(), nullptr);
    C7zDecompressImpl decompress;
    decompress.SetMaxDecoders(2);
    decompress.SetMemoryBudget(budget);
    HRESULT decoded = E_PENDING;
    std::thread background([&] { decoded = decompress.DecompressToMemory(blocks.data(), blocks.size()); });
    ASSERT_TRUE(WaitUntil([&] { return decompress.BytesInMemory() > 0; }, 10000));
    ::Sleep(300);
    EXPECT_LE(decompress.BytesInMemory(), budget - decoders * kLargestBlock) << budget;
    decompress.StartWriteToFolder(extraction_);
    background.join();
    EXPECT_EQ(decoded, S_OK);
    EXPECT_EQ(decompress.decoderCount(), decoders) << budget;
    EXPECT_EQ(decompress.WriteToFolder(extraction_), S_OK);
    ExpectPackageWritten();
  }
}

}  // namespace
