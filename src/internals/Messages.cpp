#include "internals/ClientRequest.h"
#include "internals/ServerResponse.h"
#include "utils/Overloaded.h"

namespace velkor {

namespace {

const char* boolText(bool b) {
    return b ? "true" : "false";
}

std::string blobText(const Blob& b) {
    return std::to_string(b.size()) + " bytes";
}

std::string ownerText(std::uint32_t user, const std::string& domain) {
    return std::to_string(user) + "@" + domain;
}

}  // namespace

std::string ClientRequest::description() const {
    return std::visit(Overloaded{
                          [](const CreateSettings& r) {
                              return "createSettings(" + ownerText(r.user, r.domain) + ", " +
                                     blobText(r.data) + ")";
                          },
                          [](const FetchSettings& r) {
                              return "fetchSettings(" + ownerText(r.user, r.domain) + ", path='" +
                                     r.path + "', recursive=" + boolText(r.recursiveFetch) + ")";
                          },
                          [](const UpdateSettings& r) {
                              return "updateSettings(" +
                                     (r.change ? r.change->description() : "nil") + ")";
                          },
                          [](const ResolveSettings& r) {
                              return "resolveSettings(contId=" + r.containerId.description() +
                                     ", recursive=" + boolText(r.recursiveFetch) + ")";
                          },
                          [](const DeleteSettings& r) {
                              return "deleteSettings(" + ownerText(r.user, r.domain) + ")";
                          },
                          [](const SetHasSubscription& r) {
                              return "setHasSubscription(contId=" + r.containerId.description() +
                                     ", hasSubscription=" + boolText(r.hasSubscription) + ")";
                          },
                      },
                      payload_);
}

std::string ServerResponse::description() const {
    return std::visit(
        Overloaded{
            [](const RequestHasFailed& r) {
                return "requestHasFailed(" + std::string(r.error.localizedDescription()) + ")";
            },
            [](const SettingsFetched& r) { return "settingsFetched(" + blobText(r.data) + ")"; },
            [](const SettingsUpdated& r) {
                return "settingsUpdated(" + std::string(caseName(r.changeResult)) +
                       ", newRev=" + std::to_string(r.newRevision) + ")";
            },
            [](const SettingsDeleted& r) {
                return "settingsDeleted(rootId=" + r.rootId.description() + ")";
            },
            [](const NoteChanges& r) {
                std::string s = "noteChanges([";
                for (std::size_t i = 0; i < r.changeNotifications.size(); ++i) {
                    if (i > 0)
                        s += ", ";
                    const auto& c = r.changeNotifications[i];
                    s += c ? c->description() : "nil";
                }
                s += "], [";
                for (std::size_t i = 0; i < r.changePaths.size(); ++i) {
                    if (i > 0)
                        s += ", ";
                    s += "\"" + r.changePaths[i] + "\"";
                }
                return s + "])";
            },
            [](const RequestSucceeded&) { return std::string("requestSucceeded"); },
        },
        payload_);
}

}  // namespace velkor
