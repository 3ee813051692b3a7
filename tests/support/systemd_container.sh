#!/usr/bin/env bash
# A booted Debian 12 with systemd in a container, for tests of what the agent installs.
#
#   systemd_container.sh tree                 builds the cached tree once per machine
#   systemd_container.sh boot WORK FILES...   boots a fresh copy of the tree (an overlay
#       whose changes land in WORK/upper) with FILES in /opt/vela; /opt/vela/test.sh runs
#       once the system is up and the container powers off after it. Libraries the files
#       need and the tree lacks are copied in from this machine (the same release).
# Needs root. The container shares this machine's network namespace, so it reaches test
# servers on 127.0.0.1.
set -euo pipefail

TREE=${VELA_SYSTEMD_TREE:-/var/tmp/vela-systemd-tree}

mirror() {
  local uri
  uri=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
  echo "${uri:-http://deb.debian.org/debian}"
}

build_tree() {
  [ -x "$TREE/usr/lib/systemd/systemd" ] && return 0
  command -v debootstrap >/dev/null && command -v systemd-nspawn >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap systemd-container
  local scratch="$TREE.partial"
  rm -rf "$scratch"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$scratch" "$(mirror)"
  mv "$scratch" "$TREE"
}

# What the agent's package depends on and a minimal tree lacks, installed into the cached
# tree once, so the package itself installs inside the container without a network.
tree_packages() {
  local missing=() p
  for p in libcurl4; do
    chroot "$TREE" dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  systemd-nspawn -q -D "$TREE" --register=no --keep-unit --pipe /bin/sh -c \
    "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ${missing[*]} && apt-get clean" </dev/null
}

copy_libraries() {  # root file...
  local root=$1 lib; shift
  for lib in $(ldd "$@" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// {print $3}' | sort -u); do
    [ -e "$root$lib" ] || cp -L "$lib" "$root$lib"
  done
}

boot() {  # work files...
  local work=$1; shift
  local root="$work/root"
  mkdir -p "$work/upper" "$work/overlay-work" "$root"
  mount -t overlay overlay -o "lowerdir=$TREE,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
  # shellcheck disable=SC2064  # the path is fixed now
  trap "umount '$root'" EXIT
  mkdir -p "$root/opt/vela"
  cp -a "$@" "$root/opt/vela/"
  copy_libraries "$root" "$root"/opt/vela/*
  cat > "$root/etc/systemd/system/vela-test.service" <<'UNIT'
[Unit]
Description=the test's commands, then power off
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/bin/bash -c '/bin/bash /opt/vela/test.sh >/opt/vela/test.log 2>&1; echo $? >/opt/vela/test.rc'
ExecStartPost=/bin/systemctl --no-block poweroff

[Install]
WantedBy=multi-user.target
UNIT
  ln -sf /etc/systemd/system/vela-test.service "$root/etc/systemd/system/multi-user.target.wants/"
  # No console login or machine ID prompts; the tree never gets a terminal.
  systemd-nspawn -q -D "$root" --boot --register=no --keep-unit --console=pipe </dev/null >"$work/console.log" 2>&1
}

case ${1:-} in
  tree) build_tree ;;
  boot) shift; build_tree; tree_packages; boot "$@" ;;
  *) echo "usage: $0 tree | boot WORK FILES..." >&2; exit 2 ;;
esac
