#!/usr/bin/env bash
# The demo: an agent started on demand by socket activation on a private endpoint in a temporary
# folder, talked to through tavro-companion-ctl (greeting, protocol, a real synchronisation through
# rclone), then replaced by a new one on the next call once it has left.
set -euo pipefail
bin="$(cd "${1:-build/bin}" && pwd)"
work="$(mktemp -d)"
manager_pid=""
cleanup() {
  if [ -n "$manager_pid" ]; then
    kill "$manager_pid" 2>/dev/null || true
    pkill -P "$manager_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
socket="$XDG_RUNTIME_DIR/QX47MV8KT3.es.vextralune.tavro.companion"
ctl() { echo "\$ tavro-companion-ctl $*"; "$bin/tavro-companion-ctl" "$@"; }

# Folders to synchronise, and a temporary rclone configuration with one local remote. The agent
# hands its environment to rclone, so RCLONE_CONFIG reaches it.
src="$work/photos"; dst="$work/backup"
mkdir -p "$src/2026/winter" "$dst"
echo "snow" > "$src/2026/winter/a.txt"
echo "ice" > "$src/2026/winter/b.txt"
echo "notes" > "$src/readme.md"
export RCLONE_CONFIG="$work/rclone.conf"
printf '[local]\ntype = local\n' > "$RCLONE_CONFIG"

# The service manager's part: hold the endpoint, start the agent on the first connection and hand
# the socket over; when the agent has left, listen again for the next client.
echo "== the service manager holds $socket; no agent runs yet"
# Like a service manager, it passes on only the environment it is told to.
( while true; do
    systemd-socket-activate --listen="$socket" -E HOME -E PATH -E XDG_RUNTIME_DIR -E RCLONE_CONFIG \
      "$bin/tavro-companion" --agent || true
  done ) 2>/dev/null &
manager_pid=$!
agent_pid() { pgrep -P "$manager_pid" -f "^$bin/tavro-companion --agent" || true; }
# Listening, seen without connecting (a connection would start the agent).
wait_listening() {
  for _ in $(seq 1 200); do
    awk -v p="$socket" '$NF == p && $4 == "00010000" { found = 1 } END { exit !found }' /proc/net/unix && return
    sleep 0.05
  done
}
wait_listening
echo "agents running: $(agent_pid | wc -l)"

echo "== the greeting"
ctl call helloWithReply:

echo "== the protocol, from the agent's own table (first lines of 43)"
ctl describe | head -n 5

echo "== a request its checks refuse: a host that would read as an option"
ctl call sshHomeWithHost:user:port:keyFile:reply: '"-oProxyCommand=x"' '""' 22 '""'

echo "== rclone and its remotes"
ctl call rcloneInstalledWithReply:
ctl call rcloneRemotesWithReply:

echo "== a real synchronisation, its log lines streaming back before the reply"
echo "\$ tavro-companion-ctl call rcloneSyncWithId:source:destination:mirror:checksum:excludes:trashRoot:dryRun:reply: \\"
echo "    '\"demo\"' '\"$src\"' '\"local:$dst\"' true false '[\"*.tmp\"]' null false"
"$bin/tavro-companion-ctl" call rcloneSyncWithId:source:destination:mirror:checksum:excludes:trashRoot:dryRun:reply: \
  '"demo"' "\"$src\"" "\"local:$dst\"" true false '["*.tmp"]' null false | cut -c1-150

echo "== what arrived in $dst"
(cd "$dst" && find . -type f | sort)

echo "== the agent the first call started: pid $(agent_pid)"
first_agent=$(agent_pid)
echo "== nobody is connected now; the agent would leave by itself 60 s after the last connection."
echo "== the demo does not wait the minute: it ends that agent now, as its idle exit would."
kill -TERM "$first_agent"
while kill -0 "$first_agent" 2>/dev/null; do sleep 0.05; done
wait_listening
echo "== the next call starts a new agent"
ctl call helloWithReply:
echo "== answered by pid $(agent_pid) (the first was $first_agent)"
