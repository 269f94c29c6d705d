// Checks that the number text of the alarm messages is byte for byte what
// Boost's lexical_cast<std::string>(float) gives, for float bit patterns
// FIRST .. FIRST+COUNT-1 (default: all 2^32), on THREADS threads.
//
//   number_text_check [FIRST COUNT [THREADS]]
//
// Prints the first mismatches and the number checked; exit 1 on a mismatch.
#include <atomic>
#include <boost/lexical_cast.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unidata/round_checks.h"

int main(int argc, char** argv) {
    const std::uint64_t first = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 0;
    const std::uint64_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 1ull << 32;
    const unsigned threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
    if (first + count > (1ull << 32) || threads == 0) {
        std::fprintf(stderr, "usage: %s [FIRST COUNT [THREADS]] within 2^32 patterns\n", argv[0]);
        return 2;
    }
    std::atomic<std::uint64_t> mismatches{0};
    std::mutex print;
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            const std::uint64_t share = count / threads;
            const std::uint64_t begin = first + t * share;
            const std::uint64_t end = t + 1 == threads ? first + count : begin + share;
            for (std::uint64_t bits = begin; bits < end; ++bits) {
                const std::uint32_t pattern = static_cast<std::uint32_t>(bits);
                float value;
                std::memcpy(&value, &pattern, sizeof value);
                const std::string ours = unidata::numberText(value);
                const std::string boost = boost::lexical_cast<std::string>(value);
                if (ours != boost && ++mismatches <= 20) {
                    std::lock_guard<std::mutex> lock(print);
                    std::printf("0x%08x: %s, lexical_cast %s\n", pattern, ours.c_str(),
                                boost.c_str());
                }
            }
        });
    }
    for (auto& thread : pool) thread.join();
    std::printf("%llu patterns from 0x%08llx, %llu mismatches\n",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(mismatches.load()));
    return mismatches.load() == 0 ? 0 : 1;
}
