#pragma once

#include <QString>

#include <memory>

namespace torvane::client {

// Starting the program with the system: the "随计算机启动" setting acts only through this entry.
// One implementation per OS (an XDG autostart entry, the Run value on Windows), plus a fake.
// Failures are silent, as they always were: a workstation without the rights keeps no entry.
class Autostart {
public:
    virtual ~Autostart() = default;
    virtual void enable(const QString& programPath) = 0;
    virtual void disable() = 0;
};

// The entry of this OS.
std::unique_ptr<Autostart> CreatePlatformAutostart();

} // namespace torvane::client
