// Round trip of VirtualChannelSyncAdapter::sync through an in-process channel whose far side
// answers from another thread: the floor of every request the library makes (two thread
// hand-offs, tag matching, one wait).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "LatencyReport.h"
#include "channel/VirtualChannelSyncAdapter.h"
#include "channel/VirtualChannelToServer.h"

using namespace velkor;

namespace {

class EchoThread {
  public:
    explicit EchoThread(VirtualChannelToServer& channel) : channel_(channel) {
        subscription_ =
            channel.requestSubject.asObservable().subscribe([this](const Tagged<ClientRequest>& m) {
                {
                    std::lock_guard lock(mutex_);
                    queue_.push_back(m.tag);
                }
                wake_.notify_one();
            });
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            for (;;) {
                wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                if (stop_)
                    return;
                auto tag = queue_.front();
                queue_.pop_front();
                lock.unlock();
                channel_.responseSubject.onNext(
                    {tag, ServerResponse::SettingsUpdated{ChangeResult::done, 1}});
                lock.lock();
            }
        });
    }
    ~EchoThread() {
        subscription_->dispose();
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

  private:
    VirtualChannelToServer& channel_;
    rx::DisposablePtr subscription_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<UUID> queue_;
    bool stop_ = false;
    std::thread thread_;
};

void BM_SyncRoundTrip(benchmark::State& state) {
    auto channel = std::make_shared<VirtualChannelToServer>();
    EchoThread echo(*channel);
    auto adapter =
        VirtualChannelSyncAdapter<VirtualChannelToServer>::make(channel, std::chrono::seconds(5));
    auto change = std::make_shared<VKChangeNotification>(ChangeType::childChanged, UUID::random(),
                                                         1, 0, 0, "k", std::vector<std::uint8_t>{});
    ClientRequest request = ClientRequest::UpdateSettings{change};
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(adapter->sync(request));
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    velkor::bench::reportLatency(state, micros);
}

}  // namespace

BENCHMARK(BM_SyncRoundTrip)->UseRealTime()->MinTime(2.0);
