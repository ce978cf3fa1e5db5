#!/usr/bin/env bash
# The demo: an agent on a private endpoint in a temporary folder, talked to through
# tavro-companion-ctl (greeting, protocol, a real synchronisation through rclone), then seen
# leaving by itself once nobody is connected.
set -euo pipefail
bin="$(cd "${1:-build/bin}" && pwd)"
work="$(mktemp -d)"
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; fi
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

echo "== starting the agent on a private endpoint in $XDG_RUNTIME_DIR"
"$bin/tavro-companion" --agent &
agent_pid=$!
for _ in $(seq 1 200); do
  [ -S "$socket" ] && break
  sleep 0.05
done

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

echo "== git status of a small repository, the reply's bytes decoded (one NUL-terminated entry a line)"
repo="$work/notes"
git init -q -b main "$repo"
echo "first" > "$repo/kept.txt"
git -C "$repo" add kept.txt
git -C "$repo" -c user.name=Demo -c user.email=demo@example.org commit -q -m "first"
echo "changed" >> "$repo/kept.txt"
echo "new" > "$repo/new file.txt"
echo "\$ tavro-companion-ctl call gitStatusWithRoot:reply: '\"$repo\"'"
"$bin/tavro-companion-ctl" call gitStatusWithRoot:reply: "\"$repo\"" | python3 -c '
import base64, json, sys
status, data = json.loads(sys.stdin.readline())["reply"]
print("status", status)
for entry in base64.b64decode(data).split(b"\0")[:-1]:
    print("  " + entry.decode("utf-8", "replace"))'

last_connection=$(date +%s)
echo "== nobody is connected now; the agent leaves by itself 60 s later"
set +e
wait "$agent_pid"
status=$?
set -e
agent_pid=""
echo "== the agent exited with status $status, $(( $(date +%s) - last_connection )) s after the last connection ended"
