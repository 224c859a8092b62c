#include "ControlPeerPolicy.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace zidire {

namespace {

// Buffer size for the reentrant user and group look-ups; grown on ERANGE.
long lookupBufferSize() {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    return size > 0 ? size : 16384;
}

// Runs a reentrant look-up, `lookUp(entry, buffer, size, found)`, growing the buffer while it is
// too small; what `take` copies out of the entry found (its strings live in the buffer), or
// nothing.
template <class Entry, class LookUp, class Take>
auto lookUpEntry(LookUp lookUp, Take take) -> std::optional<std::invoke_result_t<Take, Entry&>> {
    std::vector<char> buffer(static_cast<size_t>(lookupBufferSize()));
    for (;;) {
        Entry entry{};
        Entry* found = nullptr;
        const int error = lookUp(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found)
            return std::nullopt;
        return take(*found);
    }
}

std::optional<gid_t> groupId(const QByteArray& name) {
    return lookUpEntry<group>(
        [&name](group* entry, char* buffer, size_t size, group** found) {
            return ::getgrnam_r(name.constData(), entry, buffer, size, found);
        },
        [](group& found) { return found.gr_gid; });
}

// The user's name and primary group, for getgrouplist.
std::optional<std::pair<QByteArray, gid_t>> userEntry(uid_t uid) {
    return lookUpEntry<passwd>(
        [uid](passwd* entry, char* buffer, size_t size, passwd** found) {
            return ::getpwuid_r(uid, entry, buffer, size, found);
        },
        [](passwd& found) {
            return std::pair{QByteArray(found.pw_name), found.pw_gid};
        });
}

bool userInGroup(uid_t uid, gid_t wanted) {
    const auto user = userEntry(uid);
    if (!user)
        return false;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = int(groups.size());
        if (::getgrouplist(user->first.constData(), user->second, groups.data(), &count) >= 0) {
            groups.resize(size_t(count));
            return std::find(groups.begin(), groups.end(), wanted) != groups.end();
        }
        // -1 with `count` set to the number needed.
        groups.resize(std::max(size_t(count), groups.size() * 2));
    }
    return false;
}

} // namespace

std::optional<ControlPeer> controlPeer(int socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return std::nullopt;
    return ControlPeer{credentials.pid, credentials.uid, credentials.gid};
}

ControlPeerPolicy::ControlPeerPolicy(SeatSessionQuery seatSessions, QString group)
    : m_seatSessions(std::move(seatSessions))
    , m_group(std::move(group)) {}

bool ControlPeerPolicy::inGroup(const ControlPeer& peer) const {
    // Looked up at every connection: the package may create the group while zidire runs.
    const std::optional<gid_t> gid = groupId(m_group.toLocal8Bit());
    if (!gid)
        return false;
    return peer.gid == *gid || userInGroup(peer.uid, *gid);
}

void ControlPeerPolicy::decide(const ControlPeer& peer, Decided decided) const {
    if (peer.uid == 0) {
        decided({true, QStringLiteral("root")});
        return;
    }
    if (inGroup(peer)) {
        decided({true, QStringLiteral("a member of the group \"%1\"").arg(m_group)});
        return;
    }
    const QString who = QStringLiteral("uid %1 (pid %2)").arg(peer.uid).arg(peer.pid);
    const QString group = m_group;
    m_seatSessions(peer.uid, [decided = std::move(decided), who,
                              group](const SeatSessionAnswer& answer) {
        if (answer.active)
            decided({true, who + QStringLiteral(", with an active session at this computer")});
        else if (!answer.problem.isEmpty())
            decided({false, QStringLiteral("%1 isn't in the group \"%2\", and logind couldn't be "
                                           "asked about its sessions: %3")
                                .arg(who, group, answer.problem)});
        else
            decided({false, QStringLiteral("%1 has no active session at this computer and isn't "
                                           "in the group \"%2\"")
                                .arg(who, group)});
    });
}

} // namespace zidire
