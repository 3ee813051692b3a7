# Runs inside the booted container: the Debian package's whole life under systemd.
# /opt/vela holds both packages and the control plane's provisioning document (server,
# token and pinned trust).
set -x
cd /opt/vela
mainpid() { systemctl show -p MainPID --value vela-agent.service; }
# Waits until the daemon runs under a main process other than $1; prints that one.
restarted_from() {
  local pid
  for _ in $(seq 60); do
    pid=$(mainpid)
    if [ "$pid" != 0 ] && [ "$pid" != "$1" ] && [ "$(systemctl is-active vela-agent.service)" = active ]; then
      echo "$pid"; return 0
    fi
    sleep 1
  done
  return 1
}
# How often a text appears in the unit's journal, over all priorities and over one.
count() { journalctl -u vela-agent.service -o cat --no-pager "${@:2}" | grep -cF -- "$1"; }

apt-get install -y --no-install-recommends ./vela-agent_0.1.0_amd64.deb
echo "install=$?"
dpkg -L vela-agent | while read -r f; do [ -d "$f" ] || echo "listed $f"; done
echo "enabled=$(systemctl is-enabled vela-agent.service)"
echo "desktop=$(systemctl --global is-enabled vela-agent-desktop.service)"
echo "unconfigured=$(systemctl is-active vela-agent.service)"
systemd-analyze verify --man=no vela-agent.service; echo "verify=$?"

# Provisioned as an administrator would on a machine without a display, from the
# document alone; the start returns once the daemon is ready.
vela-agent provision --from-file provisioning.json --tenant t1 --customer c1
echo "provision=$?"
systemctl start vela-agent.service; echo "start=$?"
grep -q '"agentID"' /var/lib/vela-agent/config.json && echo "enrolled-when-ready=yes"
systemctl status --no-pager vela-agent.service
first=$(mainpid)
echo "banner-once=$(count "running (pid $first,") at-info=$(count "running (pid $first," -p info..info)"

kill -9 "$first"
second=$(restarted_from "$first") && echo "restarted-after-kill=yes"

# The watchdog, shortened.
mkdir -p /run/systemd/system/vela-agent.service.d
printf '[Service]\nWatchdogSec=4s\nRestartSec=1\nLimitCORE=0\n' \
  > /run/systemd/system/vela-agent.service.d/test.conf
systemctl daemon-reload && systemctl restart vela-agent.service
third=$(mainpid)
touch /var/lib/vela-agent/debug-stall-loop
fourth=$(restarted_from "$third") && echo "restarted-after-stall=yes"
journalctl -u vela-agent.service --no-pager | grep -q "Watchdog timeout" && echo "watchdog-fired=yes"
echo "stream-banner-once=$(count "running (pid $third,") at-info=$(count "running (pid $third," -p info..info)"
echo "stall-once=$(count "runtime loop stalled") at-warning=$(count "runtime loop stalled" -p warning..warning)"
rm -r /run/systemd/system/vela-agent.service.d && systemctl daemon-reload

apt-get install -y --no-install-recommends ./vela-agent_0.1.1_amd64.deb
echo "upgrade=$? version=$(dpkg-query -W -f='${Version}' vela-agent)"
restarted_from "$fourth" >/dev/null && echo "restarted-by-upgrade=yes"
systemctl status --no-pager vela-agent.service; journalctl -u vela-agent.service -n 40 --no-pager
echo "running-before-remove=$(systemctl is-active vela-agent.service)"

apt-get remove -y vela-agent; echo "remove=$?"
echo "after-remove=$(systemctl is-active vela-agent.service)"
[ -e /etc/systemd/system/multi-user.target.wants/vela-agent.service ] || echo "disabled=yes"
[ -f /var/lib/vela-agent/config.json ] && echo "state-kept=yes"
dpkg --purge vela-agent; echo "purge=$?"
[ -e /var/lib/vela-agent ] || [ -e /var/log/vela-agent ] || echo "purged-state=yes"
[ -e /etc/systemd/user/graphical-session.target.wants/vela-agent-desktop.service ] || echo "desktop-disabled=yes"
