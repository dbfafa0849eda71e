// The item writer's queue bound once writing has started, the closing
// threads that flush, close and report the written files (seen through a
// report of the first written item that is held), and the runs of zeros it
// passes over.

#include "libinstall/itemwriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

// Polls `done` every few milliseconds for at most `limitMs`.
template <class Done>
bool WaitUntil(Done done, DWORD limitMs) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start >= limitMs) return false;
    ::Sleep(5);
  }
  return true;
}

// A gate the writer thread waits at until the test opens it.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> guard(lock_);
    reached_ = true;
    changed_.notify_all();
    changed_.wait(guard, [&] { return open_; });
  }
  bool WaitReached(DWORD limitMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(limitMs), [&] { return reached_; });
  }
  void Open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool reached_ = false;
  bool open_ = false;
};

constexpr size_t kPiece = 1 << 20;

std::unique_ptr<BYTE[]> Piece(int index) {
  std::unique_ptr<BYTE[]> data(new BYTE[kPiece]);
  std::memset(data.get(), 'a' + index % 26, kPiece);
  return data;
}

// Empty items named small<N>.bin, enough to fill the closing queue behind
// closing threads held by the report of the first item, and so hold the
// writer thread too.
std::vector<ArchiveItem> FillingItems() {
  std::vector<ArchiveItem> items;
  for (size_t i = 0; i < kMaxClosingFiles + kClosingThreads + 2; ++i)
    items.push_back(ArchiveItem{L"small" + std::to_wstring(i) + L".bin", 0, false, true});
  return items;
}

// True when nothing holds the file open: it opens without sharing.
bool IsClosed(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

// With a budget far above the streaming bound, the decoders may fill the
// queue with only kStreamingQueueBytes once the folder is known: the rest of
// the budget is not held for data that the disk is about to take. The
// closing threads are held by the first item's report, and the writer once
// the closing queue is full, so nothing leaves the queue meanwhile.
TEST(ItemWriterBound, OnceWritingStartsTheQueueHoldsAtMostTheStreamingBound) {
  for (const uint64_t budget : {64ull << 20, 512ull << 20}) {
    SCOPED_TRACE(budget);
    testsupport::TempFolder folder(L"orvwriter");
    Gate gate;
    CItemWriter writer([&](UINT32 position, const ArchiveItem&) {
      if (position == 0) gate.Wait();
    });
    writer.SetMemoryBudget(budget);
    ASSERT_EQ(writer.memoryBudget(), budget);
    ASSERT_GT(budget, 2 * kStreamingQueueBytes);
    ASSERT_TRUE(writer.Start(folder.path(), L""));

    const std::vector<ArchiveItem> small = FillingItems();
    constexpr int kPieces = 24;  // three times the bound, far below the budget
    const ArchiveItem large{L"large.bin", kPieces * kPiece, false, true};
    std::atomic<int> pushed{0};
    writer.DecoderStarted();
    // The first report held, each closing thread stops at its next item.
    ASSERT_TRUE(writer.Push(&small[0], nullptr, 0, true));
    ASSERT_TRUE(gate.WaitReached(10000)) << "the first item was not written";
    for (size_t i = 1; i < small.size(); ++i) ASSERT_TRUE(writer.Push(&small[i], nullptr, 0, true));
    std::thread decoder([&] {
      for (int i = 0; i < kPieces; ++i) {
        if (!writer.Push(&large, Piece(i), kPiece, i + 1 == kPieces)) break;
        ++pushed;
      }
      writer.DecoderFinished();
    });

    // The decoder fills the queue up to the bound and waits there.
    EXPECT_TRUE(WaitUntil([&] { return writer.QueuedBytes() >= kStreamingQueueBytes || pushed == kPieces; }, 10000));
    // A decoder not held by the bound would be done with all its pieces
    // within moments; one that is held never is while the writer waits.
    EXPECT_FALSE(WaitUntil([&] { return pushed == kPieces; }, 1000)) << "the queue took the whole package";
    EXPECT_EQ(writer.QueuedBytes(), kStreamingQueueBytes);
    EXPECT_EQ(pushed.load(), static_cast<int>(kStreamingQueueBytes / kPiece));

    gate.Open();
    decoder.join();
    EXPECT_EQ(pushed.load(), kPieces);
    ASSERT_EQ(writer.Finish(), S_OK);
    EXPECT_EQ(writer.QueuedBytes(), 0u);
    const std::string written = testsupport::ReadFileBytes(folder.path() + L"large.bin");
    ASSERT_EQ(written.size(), kPieces * kPiece);
    for (int i = 0; i < kPieces; ++i) EXPECT_EQ(written[i * kPiece], 'a' + i % 26) << i;
  }
}

// The writer hands finished files to closing threads. Whether the write-out
// finishes or is cancelled while their reports are held, no file is left open
// once Finish returns; finished items are reported in the order they were
// finished, and none after the cancel.
TEST(ItemWriterClosing, NoFileStaysOpenAfterFinishAndReportsKeepTheirOrder) {
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "finished");
    testsupport::TempFolder folder(L"orvclose");
    Gate gate;
    std::vector<std::wstring> reported;  // one report at a time; read after Finish
    CItemWriter writer([&](UINT32 position, const ArchiveItem& item) {
      EXPECT_EQ(position, reported.size());
      reported.push_back(item.path);
      if (position == 0) gate.Wait();
    });
    ASSERT_TRUE(writer.Start(folder.path(), L""));
    const std::vector<ArchiveItem> small = FillingItems();
    // Written in three pieces and sized in advance, then in one piece.
    const ArchiveItem large{L"large.bin", 3 * kPiece, false, true};
    const ArchiveItem last{L"last.bin", kPiece, false, true};
    writer.DecoderStarted();
    std::thread decoder([&] {
      for (const ArchiveItem& item : small)
        if (!writer.Push(&item, nullptr, 0, true)) break;
      for (int i = 0; i < 3; ++i)
        if (!writer.Push(&large, Piece(i), kPiece, i == 2)) break;
      writer.Push(&last, Piece(3), kPiece, true);
      writer.DecoderFinished();
    });
    ASSERT_TRUE(gate.WaitReached(10000)) << "the first item was not written";
    if (cancel) writer.Cancel();
    gate.Open();
    decoder.join();
    EXPECT_EQ(writer.Finish(), cancel ? E_ABORT : S_OK);

    if (cancel) {
      EXPECT_EQ(reported.size(), 1u) << "items reported after the cancel";
    } else {
      ASSERT_EQ(reported.size(), small.size() + 2);
      for (size_t i = 0; i < small.size(); ++i) EXPECT_EQ(reported[i], small[i].path) << i;
      EXPECT_EQ(reported[small.size()], large.path);
      EXPECT_EQ(reported[small.size() + 1], last.path);
      EXPECT_EQ(testsupport::ReadFileBytes(folder.path() + L"large.bin").size(), 3 * kPiece);
      EXPECT_EQ(testsupport::ReadFileBytes(folder.path() + L"last.bin"), std::string(kPiece, 'd'));
    }
    for (size_t i = 0; i < small.size(); ++i) {
      const std::wstring path = folder.path() + small[i].path;
      if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        EXPECT_TRUE(IsClosed(path)) << i;
      }
    }
    for (const wchar_t* name : {L"large.bin", L"last.bin"}) {
      const std::wstring path = folder.path() + name;
      if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        EXPECT_TRUE(IsClosed(path));
      }
    }
  }
}

// Pieces of zeros are passed over inside files sized in advance; whatever
// the order of zero and data pieces, each file reads back as it was pushed.
// 'z' is a piece of zeros, 'l' zeros but for its last byte, a letter data.
// A layout in units: 'Z' 1 MiB of zeros, 'A' 1 MiB of data, 'L' 1 MiB of
// zeros but its last byte; 'z' 64 KiB of zeros, 'a' 64 KiB of data, 'l' 64 KiB
// of zeros but its last byte; 's' 1000 zeros, 'd' 1000 bytes of data. '|'
// ends a piece as the decoders hand it over.
std::vector<std::string> PiecesOf(const std::string& layout) {
  std::vector<std::string> pieces(1);
  for (char unit : layout) {
    if (unit == '|') {
      pieces.emplace_back();
      continue;
    }
    const bool big = unit == 'Z' || unit == 'A' || unit == 'L';
    const char kind = static_cast<char>(std::tolower(unit));
    std::string bytes(big ? kPiece : kind == 's' || kind == 'd' ? 1000 : kZeroRunBytes, '\0');
    if (kind == 'a' || kind == 'd') std::fill(bytes.begin(), bytes.end(), 'a' + pieces.size() % 26);
    if (kind == 'l') bytes.back() = 'x';
    pieces.back() += bytes;
  }
  return pieces;
}

TEST(ItemWriterZeros, RunsOfZerosAreFoundInEveryPlace) {
  struct Case {
    const char* layout;
    std::vector<bool> spans;  // zeros or data, in order
  };
  const std::vector<Case> cases = {
      {"azzd", {false, true, false}}, {"zzs", {true}},       {"as", {false}},
      {"sa", {false}},                {"lza", {false, true, false}}, {"zaz", {true, false, true}},
      {"s", {false}},                 {"Z", {true}},         {"A", {false}},
  };
  for (const Case& c : cases) {
    const std::string piece = PiecesOf(c.layout)[0];
    const auto spans = SplitAtZeroRuns(reinterpret_cast<const BYTE*>(piece.data()), piece.size());
    std::vector<bool> kinds;
    size_t covered = 0;
    for (const PieceSpan& span : spans) {
      EXPECT_EQ(span.offset, covered) << c.layout;
      covered += span.length;
      kinds.push_back(span.zeros);
      if (span.zeros) {
        EXPECT_TRUE(std::all_of(piece.begin() + span.offset, piece.begin() + span.offset + span.length,
                                [](char b) { return b == 0; }))
            << c.layout;
      }
    }
    EXPECT_EQ(covered, piece.size()) << c.layout;
    EXPECT_EQ(kinds, c.spans) << c.layout;
  }
}

TEST(ItemWriterZeros, FilesWithRunsOfZerosReadBackAsPushed) {
  // Files given their size in advance (over 1 MiB) and smaller ones that get
  // it at their end, with zeros at the start, in the middle, across pieces and
  // at the end, and runs too short to pass over.
  const std::vector<std::string> layouts = {"Z|Z|Z|Z", "A|Z|Z|Z", "Z|A|Z|A", "L|Z|Z|L", "Z", "Z|L", "Z|d",
                                            "az",      "azzd",    "zzs",     "azs|zd",  "as", "s", "d|zz",
                                            "lzz|s",   "zaz",     "azzzzzzzzzd", "zzzzzzzzzzza", "azzzzzzzzzd"};
  testsupport::TempFolder folder(L"orvzeros");
  CItemWriter writer(nullptr);
  ASSERT_TRUE(writer.Start(folder.path(), L""));
  std::vector<ArchiveItem> items;
  std::vector<std::string> expected;
  for (size_t i = 0; i < layouts.size(); ++i) {
    std::string whole;
    for (const std::string& piece : PiecesOf(layouts[i])) whole += piece;
    expected.push_back(whole);
    items.push_back(ArchiveItem{L"zeros" + std::to_wstring(i) + L".bin", whole.size(), false, true});
  }
  writer.DecoderStarted();
  for (size_t i = 0; i < layouts.size(); ++i) {
    const auto pieces = PiecesOf(layouts[i]);
    for (size_t p = 0; p < pieces.size(); ++p) {
      // Pieces in the writer's own buffers, which come back written and are
      // handed out again: a buffer reused too early shows in the contents.
      size_t pooled = 0;
      std::unique_ptr<BYTE[]> data = writer.TakeBuffer(pieces[p].size(), &pooled);
      std::memcpy(data.get(), pieces[p].data(), pieces[p].size());
      ASSERT_TRUE(writer.Push(&items[i], std::move(data), pieces[p].size(), p + 1 == pieces.size(), pooled));
    }
  }
  writer.DecoderFinished();
  ASSERT_EQ(writer.Finish(), S_OK);
  for (size_t i = 0; i < layouts.size(); ++i)
    EXPECT_TRUE(testsupport::ReadFileBytes(folder.path() + items[i].path) == expected[i]) << layouts[i];
}

}  // namespace
