// The item writer's queue bound once writing has started, seen through a
// writer thread held inside its report of the first written item.

#include "libinstall/itemwriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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

// With a budget far above the streaming bound, the decoders may fill the
// queue with only kStreamingQueueBytes once the folder is known: the rest of
// the budget is not held for data that the disk is about to take. The writer
// is held after its first item, so nothing leaves the queue meanwhile.
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

    const ArchiveItem first{L"first.bin", 0, false, true};
    constexpr int kPieces = 24;  // three times the bound, far below the budget
    const ArchiveItem large{L"large.bin", kPieces * kPiece, false, true};
    std::atomic<int> pushed{0};
    writer.DecoderStarted();
    ASSERT_TRUE(writer.Push(&first, nullptr, 0, true));
    ASSERT_TRUE(gate.WaitReached(10000)) << "the first item was not written";
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

}  // namespace
