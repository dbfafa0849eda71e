// The decoder's dictionary pool: which request gets a kept dictionary, and
// that the pool never keeps more than was in use at once.

#include "libinstall/dictionarypool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kMiB = size_t(1) << 20;

// One step: allocate `size` under `name`, or free `name` (size 0). `reuses`
// names the freed block whose memory an allocation must get; `keptAfter` is
// what the pool keeps after the step.
struct Step {
  std::string name;
  size_t size;
  std::string reuses;
  size_t keptAfter;
};

struct Case {
  const char* title;
  std::vector<Step> steps;
  size_t presized = 0;  // given to SetPooledDictionarySize first
};

TEST(DictionaryPool, KeepsFreedDictionariesForTheNextBlockWithinWhatWasInUse) {
  const std::vector<Case> cases = {
      {"a smaller block takes the kept dictionary",
       {{"a", 32 * kMiB, "", 0}, {"a", 0, "", 32 * kMiB}, {"b", 19 * kMiB, "a", 0}, {"b", 0, "", 32 * kMiB}}},
      {"a larger block frees the kept one before it allocates",
       {{"a", 19 * kMiB, "", 0}, {"a", 0, "", 19 * kMiB}, {"b", 32 * kMiB, "", 0}, {"b", 0, "", 32 * kMiB}}},
      {"after the largest, every new dictionary is as large",
       {{"a", 32 * kMiB, "", 0},
        {"b", 19 * kMiB, "", 0},
        {"a", 0, "", 32 * kMiB},
        {"b", 0, "", 64 * kMiB},
        {"c", 30 * kMiB, "a", 32 * kMiB},
        {"d", 32 * kMiB, "b", 0}}},
      {"the smallest kept block that fits is taken",
       {{"a", 32 * kMiB, "", 0},
        {"b", 32 * kMiB, "", 0},
        {"a", 0, "", 32 * kMiB},
        {"b", 0, "", 64 * kMiB},
        {"c", 8 * kMiB, "a", 32 * kMiB}}},
      {"a size given first makes the first dictionary large enough for all",
       {{"a", 19 * kMiB, "", 0}, {"a", 0, "", 32 * kMiB}, {"b", 32 * kMiB, "a", 0}},
       32 * kMiB},
      {"small buffers pass straight through",
       {{"a", 512 * 1024, "", 0}, {"a", 0, "", 0}, {"b", 2 * kMiB, "", 0}, {"b", 0, "", 2 * kMiB},
        {"c", 512 * 1024, "", 2 * kMiB}, {"c", 0, "", 2 * kMiB}}},
  };
  const ISzAlloc* alloc = &g_DictionaryPoolAlloc;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.title);
    if (test.presized) SetPooledDictionarySize(test.presized);
    std::map<std::string, void*> live;
    std::map<std::string, void*> freed;
    for (size_t i = 0; i < test.steps.size(); ++i) {
      const Step& step = test.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      if (step.size == 0) {
        alloc->Free(alloc, live[step.name]);
        freed[step.name] = live[step.name];
        live.erase(step.name);
      } else {
        void* address = alloc->Alloc(alloc, step.size);
        ASSERT_NE(address, nullptr);
        std::memset(address, 0x5a, step.size);  // the whole request is usable
        if (!step.reuses.empty()) {
          EXPECT_EQ(address, freed[step.reuses]);
        }
        live[step.name] = address;
      }
      EXPECT_EQ(PooledDictionaryBytes(), step.keptAfter);
    }
    for (auto& entry : live) alloc->Free(alloc, entry.second);
    ReleasePooledDictionaries();
    EXPECT_EQ(PooledDictionaryBytes(), 0u);
  }
}

}  // namespace
