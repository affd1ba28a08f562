// Counts every allocation of the process while the loop plays.

#include "doc/DocFixture.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    std::abort();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST_F(DocTest, AThousandRefillsAllocateNothing)
{
    for (int s = 0; s < CRondoDoc::kBeats; s += 2) doc->m_cells[s % 12][s] = 1;
    ASSERT_TRUE(doc->Play());
    CVirtualMidiDriver* clock = midiOut.Clock();
    ASSERT_NE(clock, nullptr);
    clock->m_sent.reserve(1100 * 24 + 64);
    clock->AdvanceTo(1);  // the first events and any one-time set-up

    const long before = g_allocations.load();
    const int64_t step = 75000000;  // at 200 BPM, one refill per step
    doc->SetTempo(200);
    clock->AdvanceTo(1002 * step + 1);
    const long during = g_allocations.load() - before;
    EXPECT_GE(clock->m_sent.size(), 1000u * 24);
    EXPECT_EQ(during, 0) << "allocations while the loop played";
    EXPECT_TRUE(doc->Stop());
}
