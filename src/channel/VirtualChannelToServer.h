#pragma once

#include "channel/VirtualChannel.h"
#include "internals/ClientRequest.h"
#include "internals/ServerResponse.h"
#include "velkor/rx/PublishSubject.h"

namespace velkor {

/// The channel between a connection and its transport. The client pushes requests in (the
/// transport subscribes to `requestSubject`); the transport pushes the daemon's answers into
/// `responseSubject`, which `events()` returns, and the tags of answers it could not read into
/// `unreadableResponseSubject`.
class VirtualChannelToServer final : public VirtualChannel<ClientRequest, ServerResponse> {
  public:
    rx::Observable<Tagged<ServerResponse>> events() override {
        return responseSubject.asObservable();
    }
    rx::Observable<UUID> unreadableEvents() override {
        return unreadableResponseSubject.asObservable();
    }

    void onNext(const Tagged<ClientRequest>& message) override;
    /// The client failed the channel: the request stream completes, without the error.
    void onError(rx::Error error) override;
    void onCompleted() override;

    rx::PublishSubject<Tagged<ClientRequest>> requestSubject;
    rx::PublishSubject<Tagged<ServerResponse>> responseSubject;
    rx::PublishSubject<UUID> unreadableResponseSubject;
};

}  // namespace velkor
