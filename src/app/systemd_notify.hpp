// Start-up, shutdown and watchdog notices to systemd (sd_notify's datagram protocol, without libsystemd).
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace murva {

// Sends `state` ("READY=1", "STOPPING=1", ...) as one datagram to $NOTIFY_SOCKET: a file system path, or an
// abstract socket name when it starts with '@'. Never blocks and never throws; returns whether the datagram was
// handed to the socket. Without NOTIFY_SOCKET (not started by systemd with Type=notify) it does nothing.
bool notify(std::string_view state) noexcept;

inline bool notifyReady() noexcept { return notify("READY=1"); }
inline bool notifyStopping() noexcept { return notify("STOPPING=1"); }
inline bool notifyWatchdog() noexcept { return notify("WATCHDOG=1"); }

// How often to send WATCHDOG=1: half of $WATCHDOG_USEC, so one late notice is not yet fatal. Empty when systemd
// runs no watchdog for this process: WATCHDOG_USEC unset, zero or malformed, or WATCHDOG_PID naming another
// process (the variables were inherited from a parent).
std::optional<std::chrono::microseconds> watchdogInterval() noexcept;

} // namespace murva
