#!/bin/sh
# The Debian packages as a user and a host developer meet them: lintian; what they pull; the
# files they install, each validated by its own tool; and the agent, started the way the user's
# systemd starts it, serving the example host program built against the installed -dev package.
# The three are installed together into one folder, as apt would lay them on the system.
# Usage: tests/packaging/check.sh BUILD_DIR (where `make package` left the .deb files)
set -eu
build=$(cd "${1:?usage: check.sh BUILD_DIR}" && pwd)
one_package() {
    set -- "$build"/"$1"_*.deb
    [ $# -eq 1 ] && [ -f "$1" ] || { echo "package-check: expected one $1 in $build" >&2; exit 1; }
    echo "$1"
}
deb=$(one_package tavro-companion)
library_deb=$(one_package libtavro-companion-client0)
dev_deb=$(one_package libtavro-companion-client-dev)
app=es.vextralune.tavro.companion
version=$(dpkg-deb -f "$deb" Version)
work=$(mktemp -d)
root=$work/root
agent=""
cleanup() {
    [ -z "$agent" ] || kill "$agent" 2>/dev/null || true
    wait
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
step() { printf 'package-check: %s\n' "$*"; }
fail() { printf 'package-check: %s\n' "$*" >&2; exit 1; }

step "lintian, with no override"
lintian --fail-on error,warning "$deb" "$library_deb" "$dev_deb"
[ -z "$(find "$build/_CPack_Packages" -path '*lintian/overrides*' 2>/dev/null)" ] || fail "a lintian override is packaged"

step "what the packages pull"
recommends=$(dpkg-deb -f "$deb" Recommends)
for tool in rclone fuse3 git pkexec gocryptfs 7zip; do
    printf '%s\n' "$recommends" | tr ',' '\n' | sed 's/ //g' | grep -qx "$tool" || fail "Recommends lacks $tool: $recommends"
done
[ "$(dpkg-deb -f "$dev_deb" Depends)" = "libtavro-companion-client0 (= $version)" ] || fail "the -dev package's Depends"
apt-get install --simulate --no-install-recommends "$deb" "$library_deb" "$dev_deb" >/dev/null ||
    fail "apt cannot install the three packages together"

for package in "$deb" "$library_deb" "$dev_deb"; do dpkg-deb -x "$package" "$root"; done

step "desktop entry, AppStream data"
desktop-file-validate "$root/usr/share/applications/$app.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/$app.metainfo.xml" >/dev/null

step "systemd user units"
units=$root/usr/lib/systemd/user
grep -qx "ExecStart=\"/usr/bin/tavro-companion\" --agent" "$units/$app.service" || fail "ExecStart is not the installed agent"
grep -qx "ListenStream=%t/.*" "$units/$app.socket" || fail "the socket is not under each user's runtime folder"
# systemd wants the executable to exist: point the service at the extracted one.
mkdir -p "$work/units" "$work/runtime"
chmod 700 "$work/runtime"
cp "$units/$app.socket" "$work/units/"
sed "s#^ExecStart=\"/usr/bin/#ExecStart=\"$root/usr/bin/#" "$units/$app.service" > "$work/units/$app.service"
XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify "$work/units/$app.socket" "$work/units/$app.service"

step "manual pages"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

step "bash completion"
completion=$root/usr/share/bash-completion/completions/tavro-companion-ctl
complete_words() {
    bash -c '. /usr/share/bash-completion/bash_completion; . "$1"; shift
             COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
             _tavro_companion_ctl; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
complete_words tavro-companion-ctl se | grep -qx session || fail "the sub-commands are not completed"
complete_words tavro-companion-ctl call gitStat | grep -qx "gitStatusWithRoot:reply:" || fail "the selectors are not completed"

step "versions"
[ "$("$root/usr/bin/tavro-companion" --version)" = "tavro-companion $version" ] || fail "tavro-companion --version"
[ "$("$root/usr/bin/tavro-companion-ctl" --version)" = "tavro-companion-ctl $version" ] || fail "tavro-companion-ctl --version"

step "the public header alone, through pkg-config"
pc=$(dirname "$(find "$root" -name tavro-companion-client.pc)")
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs tavro-companion-client)
printf '#include <tavro-companion/client.h>\nint main() { return tavro_companion::libraryVersion()[0] == 0; }\n' |
    c++ -std=c++17 -x c++ - -o "$work/header_alone" $flags
LD_LIBRARY_PATH=${pc%/pkgconfig} "$work/header_alone"

step "the example host program, built against the installed client library"
cmake -S "$root/usr/share/doc/libtavro-companion-client-dev/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/example" >/dev/null

step "the installed agent, socket-activated"
socket=$work/runtime/$(sed -n 's#^ListenStream=%t/##p' "$units/$app.socket")
printf '[here]\ntype = local\n' > "$work/rclone.conf"
systemd-socket-activate -l "$socket" -E RCLONE_CONFIG="$work/rclone.conf" -E XDG_RUNTIME_DIR="$work/runtime" \
    "$root/usr/bin/tavro-companion" --agent >"$work/agent.log" 2>&1 &
agent=$!
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "no socket at $socket"

mkdir -p "$work/repo" "$work/source/folder" "$work/destination"
git -C "$work/repo" init -q
echo tracked-later > "$work/repo/new file"
for n in 1 2 3; do echo "$n" > "$work/source/folder/file $n"; done
"$work/example/host_example" --socket "$socket" "$work/repo" "$work/source" "here:$work/destination" > "$work/example.out"
check_line() { grep -q "$1" "$work/example.out" || { cat "$work/example.out"; fail "the example did not print $1"; }; }
check_line "^agent $version, library $version$"
check_line '^git status: \[0,"'
check_line '^syncOutput example: '
check_line '^sync: \[0\]$'
[ -f "$work/destination/folder/file 3" ] || fail "the sync did not copy"

step "a session from the installed command-line client"
printf 'helloWithReply:\n["cancelSyncWithId:", "none"]\n' |
    "$root/usr/bin/tavro-companion-ctl" --socket "$socket" session > "$work/session.out"
grep -qx "{\"line\":1,\"reply\":\[1,\"$version\"\]}" "$work/session.out" || fail "session: $(cat "$work/session.out")"
grep -qx '{"line":2,"sent":"cancelSyncWithId:"}' "$work/session.out" || fail "session: $(cat "$work/session.out")"
step "all good"
