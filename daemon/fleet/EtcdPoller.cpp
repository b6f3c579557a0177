#include "fleet/EtcdPoller.h"

#include <pthread.h>

#include "fleet/EtcdChannels.h"

namespace velkor::fleet {

EtcdPoller::EtcdPoller(std::vector<std::shared_ptr<grpc::Channel>> channels)
    : channels_(std::move(channels)), thread_([this] { run(); }) {}

EtcdPoller::~EtcdPoller() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        if (alarm_)
            alarm_->Cancel();
    }
    thread_.join();
}

void EtcdPoller::run() {
    pthread_setname_np(pthread_self(), "etcd-poll");
    for (;;) {
        for (const auto& channel : channels_)
            channel->GetState(true);
        {
            std::lock_guard lock(mutex_);
            if (closing_)
                break;
            alarm_ = std::make_unique<grpc::Alarm>();
            alarm_->Set(
                &queue_,
                toSystemDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(1)), this);
        }
        void* tag = nullptr;
        bool ok = false;
        queue_.Next(&tag, &ok);
    }
    queue_.Shutdown();
    void* tag = nullptr;
    bool ok = false;
    while (queue_.Next(&tag, &ok)) {
    }
}

}  // namespace velkor::fleet
