#pragma once

// The two systemd units of an installed agent: the root daemon (`run`) as a system
// service, and the desktop helper (`desktop-agent`) as a user service of every
// graphical session. Pure text.

#include <string>
#include <string_view>

namespace vela::SystemUnits {

// The daemon runs the operator's scripts as root, controls services and reboots the
// machine, so the sandboxing switches that would take any of that away (read-only
// system, private /tmp, no new privileges, capability limits) stay off; only the ones
// no duty needs are on. It never gives up restarting, like a service that must stay
// reachable should, except after exit status 78 (EX_CONFIG): a configuration it cannot
// use. It starts only once `stateDir` holds a configuration or a provisioning document
// (an installed, unprovisioned agent stays quiet) and is ready, for the service
// manager, once enrolled and running; a loop that stops turning is ended by the
// watchdog and restarted. Its output goes to the journal only. The Debian package
// ships this same text (a test compares them).
std::string systemUnit(std::string_view execPath, std::string_view stateDir);
std::string desktopUnit(std::string_view execPath);

// `path` as one word of an Exec line: as it stands when it holds only characters
// systemd reads literally, else in double quotes, with \, " and control characters
// escaped and systemd's own expansion characters (% and $) doubled, so no path can
// break out of the line or the word.
std::string execWord(std::string_view path);

}  // namespace vela::SystemUnits
