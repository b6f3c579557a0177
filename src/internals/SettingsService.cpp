#include "internals/SettingsService.h"

#include "utils/Overloaded.h"

namespace velkor {

void routeRequest(SettingsRequestService& s, const UUID& tag, const ClientRequest& request) {
    std::visit(
        Overloaded{
            [&](const ClientRequest::CreateSettings& r) {
                s.createSettingsWithTag(tag, r.data, r.domain, r.user);
            },
            [&](const ClientRequest::FetchSettings& r) {
                s.fetchSettingsWithTag(tag, r.domain, r.user, r.path, r.recursiveFetch);
            },
            [&](const ClientRequest::UpdateSettings& r) { s.updateSettingsWithTag(tag, r.change); },
            [&](const ClientRequest::ResolveSettings& r) {
                s.resolveSettingsWithTag(tag, r.containerId, r.recursiveFetch);
            },
            [&](const ClientRequest::DeleteSettings& r) {
                s.deleteSettingsWithTag(tag, r.domain, r.user);
            },
            [&](const ClientRequest::SetHasSubscription& r) {
                s.setHasSubscriptionWithTag(tag, r.containerId, r.hasSubscription);
            },
        },
        request.payload());
}

}  // namespace velkor
