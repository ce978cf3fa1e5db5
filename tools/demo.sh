#!/usr/bin/env bash
# The demo: an agent started on demand by socket activation on a private endpoint in a temporary
# folder, talked to through tavro-companion-ctl (greeting, protocol, a real synchronisation
# through rclone, a git status, a real mount), then replaced by a new one on the next call once
# it has left.
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

echo "== a real mount: the local remote as a volume, through this machine's own rclone"
# rclone mount over FUSE, as any user may: a second agent of its own serves it. As root the demo
# runs it inside a private mount namespace, so nothing reaches this machine's mount table.
mount_demo() {
  set -euo pipefail
  export HOME="$work/mount-home" XDG_RUNTIME_DIR="$work/mount-home/run"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  local socket="$XDG_RUNTIME_DIR/QX47MV8KT3.es.vextralune.tavro.companion"
  "$bin/tavro-companion" --agent &
  local agent=$!
  for _ in $(seq 1 200); do [ -S "$socket" ] && break; sleep 0.05; done
  local mp="$HOME/Library/Application Support/Tavro/Montages/photos"
  local mount_call="[\"rcloneMountWithId:connection:mountPoint:volumeName:readOnly:reply:\", \"demo\", {\"kind\":\"remote\",\"remote\":\"local\",\"path\":\"$src\"}, \"$mp\", \"Photos\", true]"
  echo "\$ tavro-companion-ctl --linger 3 session   # one connection: mount, then stop by identifier"
  echo "  $mount_call"
  echo '  ["stopRcloneMountWithId:", "demo"]'
  # What is shown meanwhile goes to the demo's own output (3), not to the session.
  exec 3>&1
  {
    echo "$mount_call"
    for _ in $(seq 1 300); do mountpoint -q "$mp" && break; sleep 0.05; done
    {
      echo "== the mount table: $(findmnt -n -o SOURCE,TARGET,FSTYPE "$mp")"
      echo "== the process behind it: $(pgrep -a -f "rclone mount local:" | cut -d' ' -f2-4)"
      echo "== the files, listed through the mount point"
      (cd "$mp" && find . -type f | sort)
    } >&3
    echo '["stopRcloneMountWithId:", "demo"]'
  } | "$bin/tavro-companion-ctl" --linger 3 session
  for _ in $(seq 1 100); do mountpoint -q "$mp" || break; sleep 0.05; done
  mountpoint -q "$mp" || echo "== $mp is no longer a mount point"
  kill "$agent" 2>/dev/null || true
  wait "$agent" 2>/dev/null || true
}
export -f mount_demo
export bin work src
if [ ! -x /usr/bin/rclone ] || [ ! -x /usr/bin/fusermount3 ]; then
  echo "(skipped: the mount needs rclone and fuse3: apt install rclone fuse3)"
elif [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
  unshare --mount --propagation private --pid --fork --kill-child --mount-proc bash -c mount_demo
elif [ -r /dev/fuse ] && [ -w /dev/fuse ]; then
  bash -c mount_demo
else
  echo "(skipped: /dev/fuse cannot be opened here)"
fi

# The dialog assistant on a headless desktop of its own: an X server, a session bus on which the
# accessibility bus starts on demand, a GTK file dialog, and an agent of its own that finds the
# dialog and sends it to a folder.
dialog_demo() {
  local run="$work/dialog-run" shown="$work/dialog-start" target="$work/Dossier été 目"
  mkdir -m 700 "$run"; mkdir -p "$shown" "$target"; touch "$target/lettre.txt" "$target/photo.jpg"
  export GSETTINGS_BACKEND=memory GTK_MODULES=gail:atk-bridge
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
    string:org.a11y.Status string:IsEnabled variant:boolean:true > /dev/null
  XDG_RUNTIME_DIR="$run" "$bin/tavro-companion" --agent &
  local agent=$!
  /usr/bin/python3 "$dialog_program" open "$shown" > "$work/dialog.out" 2> /dev/null &
  local app=$!
  for _ in $(seq 1 100); do grep -q '^shown' "$work/dialog.out" && break; sleep 0.1; done
  local dsocket="$run/QX47MV8KT3.es.vextralune.tavro.companion"
  echo "== a GTK Open dialog shows $shown (pid $app)"
  echo "\$ tavro-companion-ctl call detectDialogWithPid:reply: $app"
  for _ in $(seq 1 50); do
    "$bin/tavro-companion-ctl" --socket "$dsocket" call detectDialogWithPid:reply: "$app" > "$work/detect.out" 2>&1 || true
    grep -q ',0\]}' "$work/detect.out" && break; sleep 0.2
  done
  cat "$work/detect.out"
  echo "\$ tavro-companion-ctl call navigateDialogWithPid:path:reply: $app '\"$target\"'"
  "$bin/tavro-companion-ctl" --socket "$dsocket" call navigateDialogWithPid:path:reply: "$app" "\"$target\""
  sleep 1
  echo "== what the dialog itself reports:"
  grep '^folder' "$work/dialog.out"
  kill "$app" "$agent" 2>/dev/null || true
  wait "$app" "$agent" 2>/dev/null || true
}
dialog_program="$(cd "$(dirname "$0")/.." && pwd)/tests/helpers/dialogs/gtk_dialog.py"
if ! command -v Xvfb > /dev/null || ! command -v dbus-run-session > /dev/null; then
  echo "(skipped: the dialog assistant's demo needs Xvfb and dbus-run-session)"
else
  exec 5> "$work/display"
  Xvfb -displayfd 5 -noreset -nolisten tcp -screen 0 1280x1024x24 > /dev/null 2>&1 &
  xvfb=$!
  exec 5>&-
  for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.05; done
  if [ ! -s "$work/display" ]; then
    echo "(skipped: no headless X server could start here)"
  else
    export -f dialog_demo
    export bin work dialog_program
    DISPLAY=":$(cat "$work/display")" dbus-run-session -- bash -c dialog_demo 2> /dev/null
  fi
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
fi

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
