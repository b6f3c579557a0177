#include "core/ClientHoldings.h"

namespace velkor::daemon {

void ClientHoldings::hold(std::string_view client, const UUID& container) {
    auto q = db_.query("INSERT OR IGNORE INTO holdings(container, client) VALUES(?, ?)");
    q->bind(1, container);
    q->bind(2, client);
    q->run();
}

void ClientHoldings::holdFile(std::string_view client, const UUID& root) {
    auto q = db_.query(
        "INSERT OR IGNORE INTO holdings(container, client) SELECT id, ?1 FROM containers "
        "WHERE root = ?2");
    q->bind(1, client);
    q->bind(2, root);
    q->run();
}

std::vector<std::string> ClientHoldings::holders(const UUID& container) {
    std::vector<std::string> clients;
    auto q = db_.query("SELECT client FROM holdings WHERE container = ? ORDER BY client");
    q->bind(1, container);
    while (q->step()) {
        clients.emplace_back(q->text(0));
    }
    return clients;
}

std::vector<std::string> ClientHoldings::holdersOfFile(const UUID& root) {
    std::vector<std::string> clients;
    auto q = db_.query(
        "SELECT DISTINCT client FROM holdings WHERE container IN "
        "(SELECT id FROM main.containers WHERE root = ?) ORDER BY client");
    q->bind(1, root);
    while (q->step()) {
        clients.emplace_back(q->text(0));
    }
    return clients;
}

void ClientHoldings::setSubscription(std::string_view client, const UUID& container,
                                     bool subscribed) {
    auto q = db_.query(
        "INSERT OR REPLACE INTO subscriptions(container, client, subscribed) VALUES(?, ?, ?)");
    q->bind(1, container);
    q->bind(2, client);
    q->bind(3, std::int64_t{subscribed ? 1 : 0});
    q->run();
}

std::optional<bool> ClientHoldings::subscription(std::string_view client, const UUID& container) {
    auto q = db_.query("SELECT subscribed FROM subscriptions WHERE container = ? AND client = ?");
    q->bind(1, container);
    q->bind(2, client);
    if (q->step()) {
        return q->integer(0) != 0;
    }
    // A container a client wrote unsubscribed has no row: not subscribed while it holds it.
    auto held = db_.query("SELECT 1 FROM holdings WHERE container = ? AND client = ?");
    held->bind(1, container);
    held->bind(2, client);
    return held->step() ? std::optional(false) : std::nullopt;
}

std::vector<ClientHoldings::Held> ClientHoldings::heldBy(std::string_view client) {
    std::vector<Held> held;
    auto q = db_.query(
        "SELECT h.container, c.root, c.revision FROM holdings AS h "
        "JOIN containers AS c ON c.id = h.container WHERE h.client = ?");
    q->bind(1, client);
    while (q->step()) {
        auto id = q->uuid(0);
        auto root = q->uuid(1);
        if (id && root) {
            held.push_back({*id, *root, q->integer(2)});
        }
    }
    return held;
}

void ClientHoldings::release(std::string_view client, const UUID& container) {
    {
        auto q = db_.query("DELETE FROM holdings WHERE container = ? AND client = ?");
        q->bind(1, container);
        q->bind(2, client);
        q->run();
    }
    auto q = db_.query("DELETE FROM subscriptions WHERE container = ? AND client = ?");
    q->bind(1, container);
    q->bind(2, client);
    q->run();
}

void ClientHoldings::forgetContainer(const UUID& container) {
    {
        auto q = db_.query("DELETE FROM holdings WHERE container = ?");
        q->bind(1, container);
        q->run();
    }
    auto q = db_.query("DELETE FROM subscriptions WHERE container = ?");
    q->bind(1, container);
    q->run();
}

void ClientHoldings::forgetFile(const UUID& root) {
    {
        auto q = db_.query(
            "DELETE FROM holdings WHERE container IN "
            "(SELECT id FROM main.containers WHERE root = ?)");
        q->bind(1, root);
        q->run();
    }
    auto q = db_.query(
        "DELETE FROM subscriptions WHERE container IN "
        "(SELECT id FROM main.containers WHERE root = ?)");
    q->bind(1, root);
    q->run();
}

void ClientHoldings::forgetClient(std::string_view client) {
    {
        auto q = db_.query("DELETE FROM holdings WHERE client = ?");
        q->bind(1, client);
        q->run();
    }
    auto q = db_.query("DELETE FROM subscriptions WHERE client = ?");
    q->bind(1, client);
    q->run();
}

void ClientHoldings::countClient(std::string_view client, std::uint32_t uid) {
    auto q = db_.query("INSERT OR IGNORE INTO clients(client, uid) VALUES(?, ?)");
    q->bind(1, client);
    q->bind(2, static_cast<std::int64_t>(uid));
    q->run();
}

void ClientHoldings::uncountClient(std::string_view client) {
    auto q = db_.query("DELETE FROM clients WHERE client = ?");
    q->bind(1, client);
    q->run();
}

std::int64_t ClientHoldings::rowsOfUser(std::uint32_t uid) {
    auto q = db_.query("SELECT rows FROM user_holdings WHERE uid = ?");
    q->bind(1, static_cast<std::int64_t>(uid));
    return q->step() ? q->integer(0) : 0;
}

}  // namespace velkor::daemon
