#!/usr/bin/env bash
# The man page renders without a warning, and it and the bash completion both know every
# command of the agent's usage; the completion offers a command's own options.
#   check_docs.sh <agent executable> <source dir>
set -euo pipefail
agent=$1 src=$2
page=$src/docs/vela-agent.8
fail() { echo "FAIL: $*" >&2; exit 1; }

warnings=$(groff -ww -man -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff: $warnings"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man: $warnings"
text=$(groff -man -Tascii "$page" | col -b)

# shellcheck source=/dev/null
source "$src/completion/vela-agent"
complete -p vela-agent | grep -q -- '-F _vela_agent' || fail "completion not registered"
COMP_WORDS=(vela-agent ""); COMP_CWORD=1; _vela_agent
offered=" ${COMPREPLY[*]} "

commands=$("$agent" help | awk '/^COMMANDS:/ {f = 1; next} /^$/ {f = 0} f && /^  [a-z]/ {print $1}')
[ -n "$commands" ] || fail "no commands in the usage"
for c in $commands; do
  [[ $offered == *" $c "* ]] || fail "completion lacks $c"
  grep -qw -- "$c" <<<"$text" || fail "man page lacks $c"
done

COMP_WORDS=(vela-agent -v setup --e); COMP_CWORD=3; _vela_agent
[ "${COMPREPLY[*]}" = "--enroll" ] || fail "setup --e offers: ${COMPREPLY[*]}"
COMP_WORDS=(vela-agent update ""); COMP_CWORD=2; _vela_agent
[ "${COMPREPLY[*]}" = "--apply --help" ] || fail "update offers: ${COMPREPLY[*]}"
COMP_WORDS=(vela-agent reset ""); COMP_CWORD=2; _vela_agent
[ "${COMPREPLY[*]}" = "--yes --help" ] || fail "reset offers: ${COMPREPLY[*]}"
echo "man page and completion cover: $commands" | tr '\n' ' '
