#pragma once

#include <mutex>
#include <vector>

namespace mariadb {
class connection;
}

namespace qvd {

// Cancels, from any thread, the database connections enlisted with it: the calls under way and
// every connection enlisted afterwards, so that a stopping daemon is held neither by a server that
// never answers nor by a start-up connect still to come.
class cancellation {
public:
    cancellation() = default;
    cancellation(const cancellation&) = delete;
    cancellation& operator=(const cancellation&) = delete;

    // For good: a connection enlisted later is cancelled as it is enlisted.
    void cancel();
    bool cancelled() const;

    // _connection is cancelled with the group until withdrawn; it must be withdrawn before it goes.
    void enlist(mariadb::connection& _connection);
    void withdraw(const mariadb::connection& _connection);

    // Keeps one connection at a time enlisted in a group, if any: the one held last, until the
    // next is held or the slot goes.
    class slot {
    public:
        explicit slot(cancellation* _group) : m_group(_group) {}
        ~slot() { hold(nullptr); }
        slot(const slot&) = delete;
        slot& operator=(const slot&) = delete;

        void hold(mariadb::connection* _connection);

    private:
        cancellation* const m_group;
        mariadb::connection* m_held = nullptr;
    };

private:
    mutable std::mutex m_mutex;
    bool m_cancelled = false;
    std::vector<mariadb::connection*> m_connections;
};

} // namespace qvd
