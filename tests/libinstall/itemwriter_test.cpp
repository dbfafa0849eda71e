// The item writer's queue bound once writing has started, the closing
// threads that flush, close and report the written files (seen through a
// report of the first written item that is held), and the pieces of zeros it
// passes over.

#include "libinstall/itemwriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
TEST(ItemWriterZeros, FilesWithPiecesOfZerosReadBackAsPushed) {
  const std::vector<std::string> layouts = {"zzzz", "azzz", "zbzb", "azbz", "lzzl", "z", "zl"};
  testsupport::TempFolder folder(L"orvzeros");
  CItemWriter writer(nullptr);
  ASSERT_TRUE(writer.Start(folder.path(), L""));
  std::vector<ArchiveItem> items;
  for (size_t i = 0; i < layouts.size(); ++i)
    items.push_back(ArchiveItem{L"zeros" + std::to_wstring(i) + L".bin", layouts[i].size() * kPiece, false, true});
  std::vector<std::string> expected(layouts.size());
  writer.DecoderStarted();
  for (size_t i = 0; i < layouts.size(); ++i) {
    for (size_t p = 0; p < layouts[i].size(); ++p) {
      std::string bytes(kPiece, layouts[i][p]);
      if (layouts[i][p] == 'z' || layouts[i][p] == 'l') std::fill(bytes.begin(), bytes.end(), '\0');
      if (layouts[i][p] == 'l') bytes.back() = 'x';
      expected[i] += bytes;
      // Pieces in the writer's own buffers, which come back written and are
      // handed out again: a buffer reused too early shows in the contents.
      std::unique_ptr<BYTE[]> data = writer.TakeBuffer();
      std::memcpy(data.get(), bytes.data(), kPiece);
      ASSERT_TRUE(writer.Push(&items[i], std::move(data), kPiece, p + 1 == layouts[i].size(), true));
    }
  }
  writer.DecoderFinished();
  ASSERT_EQ(writer.Finish(), S_OK);
  for (size_t i = 0; i < layouts.size(); ++i)
    EXPECT_TRUE(testsupport::ReadFileBytes(folder.path() + items[i].path) == expected[i]) << layouts[i];
}

}  // namespace
