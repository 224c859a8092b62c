#pragma once

// Who may use the system service's control socket. Its file is open to every local account (the
// user at the screen changes, and no file mode can follow that), so the process at the other end
// of each connection is checked instead: root, a user with an active session at one of this
// computer's seats (the one sitting in front of it, in logind's word), and members of the group
// "moxtrel" (for machines without logind, or users an administrator adds) are admitted; anyone
// else is told no and nothing more. The local mode's socket is 0600 and needs no such check.

#include <QString>

#include <functional>
#include <optional>
#include <sys/types.h>

namespace zidire {

// The process at the other end of a Unix socket, as the kernel recorded it at connect().
struct ControlPeer {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// SO_PEERCRED of a connected Unix socket; nothing when the kernel can't tell.
std::optional<ControlPeer> controlPeer(int socket);

// What logind says about one user.
struct SeatSessionAnswer {
    // The user has an active session of class "user" on a seat (not a greeter, not a remote or
    // seatless one such as ssh).
    bool active = false;
    // Set when logind couldn't be asked or gave no usable answer; `active` is false then.
    QString problem;
};

class ControlPeerPolicy {
public:
    // Asks logind about `uid` and answers through `answer` exactly once, at once or later.
    using Answer = std::function<void(const SeatSessionAnswer&)>;
    using SeatSessionQuery = std::function<void(uid_t uid, Answer answer)>;

    struct Verdict {
        bool admitted = false;
        QString why; // for the log: who the peer is taken for, or why it was refused
    };
    using Decided = std::function<void(const Verdict&)>;

    static constexpr char defaultGroup[] = "moxtrel";
    // All that a refused client learns.
    static constexpr char refusal[] = "Permission denied: this user may not configure the relay";

    explicit ControlPeerPolicy(SeatSessionQuery seatSessions,
                               QString group = QString::fromLatin1(defaultGroup));

    // Decides about `peer` through `decided`: at once for root and the group's members, once
    // logind has answered for anyone else.
    void decide(const ControlPeer& peer, Decided decided) const;

    QString group() const { return m_group; }

private:
    // Whether `peer` belongs to the group: as the process's group, or as a member in the
    // user database (getgrouplist, which counts the user's primary group too).
    bool inGroup(const ControlPeer& peer) const;

    SeatSessionQuery m_seatSessions;
    QString m_group;
};

} // namespace zidire
