// Search throughput of the engine alone (no Python, no interpreter lock) with 1 and 2 threads
// on one store, to tell how much of the scaling the Python layer loses.
//
//     vesko_engine_threads STORE CENTRES [SECONDS]
//
// CENTRES is a file of (lat, lon) pairs as little-endian f64 (numpy's tofile). Each thread
// cycles through them, starting at a different one, running k = 10 nearest, then a 1 km and a
// 10 km radius, each for SECONDS (default 2); the answers are read into strings as a caller
// would.
#include "tests/cpp/support/answers.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using vesko::engine::Store;

double queries_per_second(const std::function<void(std::size_t)>& call, std::size_t n,
                          unsigned threads, double seconds) {
    std::atomic<bool> stop{false};
    std::vector<std::size_t> done(threads, 0);
    std::vector<std::thread> workers;
    const auto began = std::chrono::steady_clock::now();
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::size_t q = t * n / threads;
            std::size_t ran = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                call(q);
                q = q + 1 < n ? q + 1 : 0;
                ++ran;
            }
            done[t] = ran;
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& w : workers) w.join();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::size_t total = 0;
    for (std::size_t d : done) total += d;
    return static_cast<double>(total) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s STORE CENTRES [SECONDS]\n", argv[0]);
        return 2;
    }
    const double seconds = argc > 3 ? std::stod(argv[3]) : 2.0;
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::vector<std::pair<float, float>> centres;
    for (std::size_t at = 0; at + 16 <= bytes.size(); at += 16) {
        double lat = 0;
        double lon = 0;
        std::memcpy(&lat, bytes.data() + at, 8);
        std::memcpy(&lon, bytes.data() + at + 8, 8);
        centres.emplace_back(static_cast<float>(lat), static_cast<float>(lon));
    }
    if (centres.empty()) {
        std::fprintf(stderr, "no centres in %s\n", argv[2]);
        return 2;
    }
    auto opened = Store::open(argv[1]);
    if (!opened) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], opened.error().message.c_str());
        return 1;
    }
    const Store& store = **opened;
    const std::vector<std::pair<const char*, std::function<void(std::size_t)>>> kinds = {
        {"knn k=10",
         [&](std::size_t q) {
             (void)vesko::engine::knn_answer(store, centres[q].first, centres[q].second, 10,
                                             std::nullopt);
         }},
        {"radius 1 km",
         [&](std::size_t q) {
             (void)vesko::engine::radius_answer(store, centres[q].first, centres[q].second, 1000.0f,
                                                std::nullopt);
         }},
        {"radius 10 km",
         [&](std::size_t q) {
             (void)vesko::engine::radius_answer(store, centres[q].first, centres[q].second,
                                                10000.0f, std::nullopt);
         }},
    };
    std::printf("%-14s%14s%14s%10s\n", "query", "1 thr q/s", "2 thr q/s", "speed-up");
    for (const auto& [name, call] : kinds) {
        const double one = queries_per_second(call, centres.size(), 1, seconds);
        const double two = queries_per_second(call, centres.size(), 2, seconds);
        std::printf("%-14s%14.0f%14.0f%9.2fx\n", name, one, two, two / one);
    }
    return 0;
}
