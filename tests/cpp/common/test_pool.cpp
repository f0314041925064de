#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "check.hpp"
#include "common/pool.hpp"

using namespace quillet;

TEST(pool_runs_every_index_once_including_nested_loops) {
    auto pool = Pool::create(3).unwrap();
    std::vector<std::atomic<int>> hits(200);
    pool->run([&] {
        pool->parallel_for(0, 20, 1, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t outer = lo; outer < hi; ++outer) {
                pool->parallel_for(0, 10, 3, [&](std::size_t a, std::size_t b) {
                    for (std::size_t inner = a; inner < b; ++inner) hits[outer * 10 + inner]++;
                });
            }
        });
    });
    for (auto& h : hits) CHECK_EQ(h.load(), 1);
}

TEST(pool_carries_the_lowest_faulting_piece_back) {
    for (std::size_t workers : {1, 2, 4}) {
        auto pool = Pool::create(workers).unwrap();
        CHECK_THROWS_TEXT(pool->run([&] {
            pool->parallel_for(0, 50, 1, [&](std::size_t lo, std::size_t) {
                if (lo == 7 || lo == 30) raise_fault("fault in piece " + std::to_string(lo));
            });
        }),
                          "fault in piece 7");
        // The pool stays usable after a fault.
        int ran = 0;
        pool->run([&] { ran = 1; });
        CHECK_EQ(ran, 1);
    }
}

TEST(pool_cancellation_stops_the_pieces_not_yet_started) {
    for (std::size_t workers : {1, 3}) {
        auto pool = Pool::create(workers).unwrap();
        std::atomic<int> started{0};
        int polls = 0;
        bool cancelled = false;
        try {
            pool->run(
                [&] {
                    pool->parallel_for(0, 100000, 1, [&](std::size_t, std::size_t) {
                        ++started;
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    });
                },
                [&] { return ++polls == 2; });
        } catch (const Cancelled&) {
            cancelled = true;
        }
        CHECK(cancelled);
        CHECK_EQ(polls, 2);  // never polled again once cancellation was asked for
        CHECK(started.load() < 100000);
        CHECK(pool->cancel_flag().raised());
    }
}
