// The report's use of the heap: a rebuild of a populated report allocates
// nothing per numeric signal, and a build cut short by memory exhaustion is
// redone by the next call for the same round. This program replaces the
// global operator new to count allocations and to make one fail on demand.
#include <gtest/gtest.h>
#include <json/value.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdlib>
#include <new>

#include "ved96/ved96.h"

// The replacements below pair malloc with free; GCC cannot see that through
// operator new and delete and would report every delete as mismatched.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<long> allocations{0};
std::atomic<long> failAt{-1};  // the allocation with this count throws

}  // namespace

void* operator new(std::size_t size) {
    const long n = ++allocations;
    if (n == failAt.load()) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

const auto kFirstRound = time_from_string("2024-03-07 09:05:02");

TEST(ReportHeap, RebuildAllocatesNothingPerNumericSignal) {
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
    // 248 numeric signals are rewritten in place; at most the time text
    // may need the heap.
    EXPECT_LE(during, 3) << "allocations in one rebuild";
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
