#pragma once

#include "common/switchrequest.h"

#include <QByteArray>
#include <QString>

namespace torvane::client {

// The local pipe of the Windows switching service: one request message in, one reply message
// out, then the service closes the connection.
inline constexpr wchar_t kSwitchPipeName[] = LR"(\\.\pipe\TorvaneSwitch)";

// How long a caller waits for a busy pipe and for the reply; the service applies a switch in
// milliseconds, so running into these means it hangs.
struct SwitchPipeTimeouts {
    int connectMs = 3000;
    int replyMs = 20000;
};

// Sends one message and waits for the reply, on the calling thread (a worker's, never the
// window's). No pipe, a pipe that never answers, or an answer that is no reply all mean the
// service is not available: ServiceUnavailable with the reason.
SwitchReply AskSwitchService(const QString& pipeName, const QByteArray& request,
                             SwitchPipeTimeouts timeouts = {});

} // namespace torvane::client
