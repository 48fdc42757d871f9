#pragma once

#include <QtGlobal>

namespace torvane::server {

// Every Client is one open descriptor, and so is every pipe, timer source and file the program
// itself needs. These keep the two apart.

// Raises the soft limit on open descriptors to the hard limit (the Server does so at start).
// Returns the soft limit in force afterwards; -1 when there is none.
qint64 RaiseDescriptorLimit();
// The soft limit now; -1 when there is none (or the OS has no such limit).
qint64 SoftDescriptorLimit();

// One descriptor held in reserve so that the hub can still accept a connection (and close it at
// once) when the table is full, instead of leaving it in the backlog and spinning on a listener
// that stays ready.
class SpareDescriptor {
public:
    SpareDescriptor() = default;
    ~SpareDescriptor();
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    bool take(); // true when held afterwards
    void release();
    bool isHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace torvane::server
