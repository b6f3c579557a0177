#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Database.h"
#include "velkor/UUID.h"

namespace velkor::daemon {

/// Which client holds which container, and the clients' subscription flags.
///
/// A client holds a container when the daemon sent it that container in full (a fetch or resolve
/// answer, the value of a notification) or the client put it there itself (creating a file,
/// placing a value, changing a container). Holders are the clients that hear of the container's
/// changes. Holdings live in memory and die with the daemon; they change inside the transaction
/// of the request that changes them.
class ClientHoldings {
  public:
    explicit ClientHoldings(Database& db) : db_(db) {}

    void hold(std::string_view client, const UUID& container);
    /// Makes `client` hold every container of the file with root `root`, in one statement.
    void holdFile(std::string_view client, const UUID& root);
    struct Held {
        UUID id;
        UUID root;
        std::int64_t revision = 0;
    };
    /// Every container `client` holds, with its file's root and its revision.
    std::vector<Held> heldBy(std::string_view client);
    /// Every client that holds `container`, in order of client id.
    std::vector<std::string> holders(const UUID& container);
    /// Every client that holds at least one container of the file with root `root`.
    std::vector<std::string> holdersOfFile(const UUID& root);

    void setSubscription(std::string_view client, const UUID& container, bool subscribed);
    /// The last subscription flag `client` reported for `container`; false for a container it
    /// holds and never reported (a container written unsubscribed needs no row); nothing
    /// otherwise.
    std::optional<bool> subscription(std::string_view client, const UUID& container);

    /// Drops `client`'s holding and flag of `container`: it no longer hears of its changes.
    void release(std::string_view client, const UUID& container);
    /// Drops every holding and flag of a container that no longer exists.
    void forgetContainer(const UUID& container);
    /// Drops every holding and flag of the containers of the file with root `root`.
    void forgetFile(const UUID& root);
    /// Drops every holding and flag of a client that has gone.
    void forgetClient(std::string_view client);

    /// Counts the rows (holdings and flags) of `client` from now on as those of user `uid`;
    /// nothing when it is counted already. A client's uid never changes.
    void countClient(std::string_view client, std::uint32_t uid);
    /// Forgets `client` as counted, once it has gone and its rows with it.
    void uncountClient(std::string_view client);
    /// The holdings and flags that the counted clients of user `uid` keep together.
    std::int64_t rowsOfUser(std::uint32_t uid);

  private:
    Database& db_;
};

}  // namespace velkor::daemon
