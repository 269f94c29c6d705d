// The report's use of the heap: a rebuild of a populated report allocates
// only the update-time text, and a build cut short by memory exhaustion is
// redone by the next call for the same round. This program replaces malloc
// (the C library's allocator underneath) and the global operator new, to
// count every allocation, whoever makes it, and to make one fail on demand.
#include <gtest/gtest.h>
#include <json/value.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdlib>
#include <iostream>
#include <new>

#include "support/malloc_count.h"
#include "ved96/ved96.h"

// The replacements below pair malloc with free; GCC cannot see that through
// operator new and delete and would report every delete as mismatched.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<long>& allocations = malloc_count::calls;
// The first operator new at or after this count throws (once): the count
// also runs on with the library's own malloc calls, which cannot fail here.
std::atomic<long> failAt{-1};

}  // namespace

void* operator new(std::size_t size) {
    // Counted by malloc, unless a sanitizer owns it.
    const long n = VED_COUNTS_MALLOC ? allocations.load() + 1 : ++allocations;
    const long at = failAt.load();
    if (at >= 0 && n >= at) {
        failAt = -1;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

const auto kFirstRound = time_from_string("2024-03-07 09:05:02");

TEST(ReportHeap, RebuildAllocatesOnlyTheUpdateTime) {
    ved96 meter;
    meter.roundTime_ = kFirstRound;
    meter.GenJsonData();
    ASSERT_EQ(meter.jsonData_.size(), 270u);

    meter.data_.phase_voltage_a = 2200;
    meter.data_.current_harmonics_low[0] = 31;
    meter.data_.update_time = ttime{2024, 3, 7, 9, 5, 3};
    meter.roundTime_ = kFirstRound + seconds(1);
    const long before = allocations.load();
    meter.GenJsonData();
    const long during = allocations.load() - before;

    EXPECT_EQ(meter.jsonData_["A相电压"].asDouble(), 2200.0);
    EXPECT_EQ(meter.jsonData_["A相电流THD"].asDouble(), 31.0);
    EXPECT_EQ(meter.jsonData_["DI1"].asString(), "断开");
    EXPECT_EQ(meter.jsonData_["更新时间"].asString(), "2024-3-7 9:5:3");
    // Numbers, keys and fixed texts are rewritten in place; only the time
    // text needs the heap.
    EXPECT_LE(during, 1) << "allocations in one rebuild";
    if (!VED_COUNTS_MALLOC) std::cout << "[ note ] malloc not counted under a sanitizer\n";
}

// Out of memory part-way through a build: the exception leaves the builder
// with the lock released, and the next call for the same round builds the
// whole report again rather than keeping a half-built one.
TEST(ReportHeap, BuildCutShortIsRedoneForTheSameRound) {
    ved96 meter;
    meter.data_.phase_voltage_a = 2200;
    meter.data_.update_time = ttime{2024, 3, 7, 9, 5, 2};
    meter.roundTime_ = kFirstRound;

    failAt = allocations.load() + 100;  // about a third of the way into a first build
    EXPECT_THROW(meter.GenJsonData(), std::bad_alloc);
    failAt = -1;
    ASSERT_TRUE(meter.jsonMutex_.try_lock());
    meter.jsonMutex_.unlock();
    EXPECT_LT(meter.jsonData_.size(), 270u);

    meter.GenJsonData();
    EXPECT_EQ(meter.jsonData_.size(), 270u);
    EXPECT_EQ(meter.jsonData_["A相电压"].asDouble(), 2200.0);
    EXPECT_EQ(meter.jsonData_["更新时间"].asString(), "2024-3-7 9:5:2");
}

}  // namespace
