#pragma once

// Descriptor limits and crowds of idle connections for the hub tests (Linux only).

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace torvane::server::testing {

inline sockaddr_in Loopback(quint16 port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    return to;
}

// The highest open descriptor of this process, scanning past holes.
inline int HighestOpenDescriptor() {
    int highest = 0;
    for (int fd = 0, gap = 0; gap < 512; ++fd) {
        gap = fcntl(fd, F_GETFD) != -1 ? 0 : gap + 1;
        if (gap == 0)
            highest = fd;
    }
    return highest;
}

// Takes every free descriptor below `highest`, so that the next ones are handed out above it.
// The caller closes them.
inline std::vector<int> FillDescriptorHoles(int highest) {
    std::vector<int> holes;
    while (true) {
        const int fd = ::fcntl(highest, F_DUPFD_CLOEXEC, 0);
        if (fd > highest)
            ::close(fd);
        if (fd < 0 || fd > highest)
            break;
        holes.push_back(fd);
    }
    return holes;
}

// Puts the soft descriptor limit back however the test ends.
struct LimitGuard {
    rlimit saved{};
    LimitGuard() { getrlimit(RLIMIT_NOFILE, &saved); }
    ~LimitGuard() { setrlimit(RLIMIT_NOFILE, &saved); }
    bool lowerTo(rlim_t soft) {
        rlimit tight = saved;
        tight.rlim_cur = soft;
        return setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
};

// Idle connections from another process, so that they cost this process's descriptor table
// nothing but the hub's end: each line "N" on the command pipe opens N more to the port and is
// answered with one byte; closing the pipe ends the process and its connections. The child only
// makes system calls (no allocation after fork).
class Crowd {
public:
    explicit Crowd(quint16 port) {
        int commands[2];
        int replies[2];
        if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            ::close(commands[1]);
            ::close(replies[0]);
            Serve(commands[0], replies[1], port);
        }
        ::close(commands[0]);
        ::close(replies[1]);
        m_commands = commands[1];
        m_replies = replies[0];
    }
    ~Crowd() {
        ::close(m_commands);
        ::close(m_replies);
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
    }
    bool open(int count) {
        char line[16];
        const int length = std::snprintf(line, sizeof line, "%d\n", count);
        char ack = 0;
        return m_pid > 0 && ::write(m_commands, line, length) == length &&
               ::read(m_replies, &ack, 1) == 1 && ack == 'y';
    }

private:
    [[noreturn]] static void Serve(int commands, int replies, quint16 port) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        const sockaddr_in to = Loopback(port);
        char line[16];
        int used = 0;
        while (true) {
            int length = 0;
            char c = 0;
            while (length < 15 && ::read(commands, &c, 1) == 1 && c != '\n')
                line[length++] = c;
            if (length == 0)
                _exit(0);
            line[length] = 0;
            bool ok = true;
            for (int i = std::atoi(line); i > 0 && ok; --i) {
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                ok = fd >= 0 &&
                     ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
                used += ok ? 1 : 0;
            }
            const char ack = ok ? 'y' : 'n';
            if (::write(replies, &ack, 1) != 1)
                _exit(1);
        }
    }

    pid_t m_pid = -1;
    int m_commands = -1;
    int m_replies = -1;
};

} // namespace torvane::server::testing
