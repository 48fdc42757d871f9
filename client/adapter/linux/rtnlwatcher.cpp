#include "client/adapter/linux/rtnlwatcher.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace torvane::client {

RtnlWatcher::RtnlWatcher(QObject* parent) : QObject(parent) {}

RtnlWatcher::~RtnlWatcher() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void RtnlWatcher::watchFile(const QString& path) {
    m_file = path;
    if (!m_files) {
        m_files = new QFileSystemWatcher(this);
        connect(m_files, &QFileSystemWatcher::fileChanged, this, &RtnlWatcher::onPathChanged);
        connect(m_files, &QFileSystemWatcher::directoryChanged, this, &RtnlWatcher::onPathChanged);
    }
    if (QFileInfo::exists(path))
        m_files->addPath(path);
    const QString folder = QFileInfo(path).absolutePath();
    if (QFileInfo(folder).isDir())
        m_files->addPath(folder);
}

void RtnlWatcher::onPathChanged() {
    // A file renamed over the old one is a new inode: watch it again.
    if (!m_file.isEmpty() && !m_files->files().contains(m_file) && QFileInfo::exists(m_file))
        m_files->addPath(m_file);
    emit changed();
}

bool RtnlWatcher::start(QString* errorText) {
    if (m_fd >= 0)
        return true;
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_fd < 0) {
        *errorText =
            QStringLiteral("rtnetlink socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_LINK;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *errorText =
            QStringLiteral("rtnetlink events: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &RtnlWatcher::drain);
    return true;
}

void RtnlWatcher::drain() {
    // The content does not matter, only that something changed; an overrun (ENOBUFS) means
    // events were lost, which is a change too.
    char buffer[8192];
    bool any = false;
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got > 0 || (got < 0 && errno == ENOBUFS)) {
            any = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    if (any)
        emit changed();
}

} // namespace torvane::client
