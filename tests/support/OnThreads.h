#pragma once

#include <thread>
#include <vector>

namespace velkor::test {

/// Runs `body(thread)` on `n` threads at once and joins them.
template <typename F>
void onThreads(int n, F body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back(body, t);
    for (auto& thread : threads)
        thread.join();
}

}  // namespace velkor::test
