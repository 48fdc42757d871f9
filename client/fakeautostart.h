#pragma once

#include "client/autostart.h"

namespace torvane::client {

// Records what the program asked of the autostart entry.
class FakeAutostart : public Autostart {
public:
    void enable(const QString& programPath) override {
        m_programPath = programPath;
        m_enabled = true;
        ++m_enableCount;
    }
    void disable() override {
        m_programPath.clear();
        m_enabled = false;
        ++m_disableCount;
    }

    bool m_enabled = false;
    QString m_programPath;
    int m_enableCount = 0;
    int m_disableCount = 0;
};

} // namespace torvane::client
