#pragma once

// What the Server benchmarks share: the line file they serve, the Server child with the pipe
// lines between it and the benchmark, and the resident memory figure.

#include "common/gbk.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

namespace torvane::bench {

// Twenty lines, as a real site's list would be, in a folder of its own that goes with the object.

class BenchLineFile {
public:
    BenchLineFile() {
        for (int i = 1; i <= 20; ++i)
            m_bytes += ToGbk(QString::fromUtf8("线路%1;;;10.0.%1.1;192.0.2.%1;192.0.2.%2;")
                                 .arg(i)
                                 .arg(i + 100)) +
                       "\r\n";
        QFile out(path());
        m_ok = m_dir.isValid() && out.open(QIODevice::WriteOnly) &&
               out.write(m_bytes) == m_bytes.size();
    }

    bool ok() const { return m_ok; }
    QString path() const { return m_dir.filePath(QStringLiteral("MainConfig.dat")); }
    const QByteArray& bytes() const { return m_bytes; }

private:
    QTemporaryDir m_dir;
    QByteArray m_bytes;
    bool m_ok = false;
};

inline long ResidentKiB() {
    FILE* file = std::fopen("/proc/self/status", "r");
    if (!file)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(file);
    return kib;
}

// One command or reply per line on the pipes between the benchmark and its Server child.
inline bool WriteLine(int fd, const std::string& text) {
    const std::string line = text + "\n";
    return ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

inline std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// The Server side of a benchmark, in a forked child so that its CPU time and memory are its own.
// Commands go down one pipe, replies come up the other.
struct ServerChild {
    pid_t pid = -1;
    int commandFd = -1; // the benchmark writes here
    int replyFd = -1;   // and reads the child's answers here
};

// run(commandFd, replyFd) is the child's whole life; what it returns is the child's exit status.
template <typename Run> std::optional<ServerChild> ForkServerChild(Run run) {
    int commands[2];
    int replies[2];
    if (pipe2(commands, O_CLOEXEC) != 0)
        return std::nullopt;
    if (pipe2(replies, O_CLOEXEC) != 0) {
        ::close(commands[0]);
        ::close(commands[1]);
        return std::nullopt;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(commands[1]);
        ::close(replies[0]);
        _exit(run(commands[0], replies[1]));
    }
    ::close(commands[0]);
    ::close(replies[1]);
    return ServerChild{pid, commands[1], replies[0]};
}

} // namespace torvane::bench
