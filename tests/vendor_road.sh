#!/usr/bin/env bash
# The README's vendor commands, run as written in a release folder of their
# own, changed only as the README lists (this checkout's path, the staging
# address, -W for a key without a passphrase); then the build's shipped-agent
# check on the same build tree, which is kept between runs.
#   vendor_road.sh <source dir> <work dir>
set -euo pipefail
src=$1 work=$2
mkdir -p "$work" && cd "$work"
find . -mindepth 1 -maxdepth 1 ! -name out -exec rm -rf {} +
unset DISPLAY WAYLAND_DISPLAY
fail() { echo "FAILED: $*" >&2; exit 1; }

step() {  # the README block marked "vendor-step: $1"
  local text
  text=$(awk -v mark="<!-- vendor-step: $1 -->" '$0 == mark { found = 1; next }
           found && /^```$/ { exit } found && inside { print } found && /^```sh$/ { inside = 1 }' "$src/README.md")
  [ -n "$text" ] || fail "the README has no block for $1"
  text=${text//minisign -G /minisign -G -W }
  text=${text//\/path\/to\/bootstrap-installer/$src}
  text=${text//https:\/\/staging.acme.example\//$staging}
  echo "== README step $1"
  bash -euo pipefail -c "$text"
}
expect() {  # the README's output block marked "vendor-output: $1" against the log $2, sizes and days aside
  local block same='s/[0-9]+ bytes/N bytes/g; s/[0-9]{4}-[0-9]{2}-[0-9]{2}/DAY/g'
  block=$(awk -v mark="<!-- vendor-output: $1 -->" '$0 == mark { found = 1; next }
            found && inside && /^```$/ { exit } found && inside { print } found && /^```$/ { inside = 1 }' "$src/README.md")
  [ -n "$block" ] || fail "the README has no output for $1"
  diff <(sed -E "$same" <<<"$block") <(sed -E "$same" "$2") || fail "$1: the run said other than the README"
}
builds() {  # the build with a shipped agent: ok or failed, and its output in $1.log
  cmake out "${@:2}" >/dev/null && cmake --build out --target bundle -j"$(nproc)" >"$1.log" 2>&1
}

# The vendor's own files: an agent that notes its start, a splash, a product.
mkdir agent
printf '#!/bin/sh\necho "started with $*" >> "$HOME/agent-started"\n' > agent/install
cp "$src/resources/splash.png" splash.png
echo "Acme Draw" > readme.txt && zip -q acme-draw-2.1.0.zip readme.txt
python3 "$src/tests/http_server.py" --root "$work" --etags 1 > server.port &
server=$!
trap 'kill $server' EXIT
for _ in $(seq 100); do [ -s server.port ] && break; sleep 0.1; done
stats="http://127.0.0.1:$(head -n1 server.port)/stats" staging="http://127.0.0.1:$(head -n1 server.port)/files/"
# A tree kept from the last run still ships that run's agent.
[ ! -f out/CMakeCache.txt ] || cmake out -UINSTALLER_AGENT_ARCHIVE -UINSTALLER_AGENT_SIGNATURE >/dev/null

for name in keys agent build; do step $name; done
step smoke 2>smoke.log
floor=$(sed -n 's/^INSTALLER_MIN_AGENT_TIMESTAMP:STRING=//p' out/CMakeCache.txt)
[ "$floor" -gt 0 ] || fail "the floor is not the agent's timestamp: '$floor'"
grep -q -- "-installbundle $work/out/Acme Setup.app/Contents/Resources/bundle.zip" smoke-home/agent-started ||
  fail "the agent did not start from the download"
[ -f smoke-home/.acme-draw/installagent/2.1.0/linux64/installagent/install ] || fail "not cached in .acme-draw"
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
# Archive and signature, then a 304 for the archive and nothing more.
curl -s "$stats" | python3 -c 'import json, sys; seen = json.load(sys.stdin)["user_agents"]; sys.exit(seen != [sys.argv[1]] * 3)' \
  "Acme-Setup/2.1.0 (linux64) bootstrap-installer/$version" || fail "User-Agents seen: $(curl -s "$stats")"
expect smoke smoke.log

# An update reaches the installers in users' hands; an old signature put
# back is refused by those who have the newer agent; signing again undoes.
again() {  # a run of the smoke test's installer, with its cache; what it said in $1
  HOME="$PWD/smoke-home" QV_INTERNAL_INSTALL_AGENT_URL="${staging}pi_install_agent_pi_2.1.0_linux64" \
    "out/Acme Setup.app/Contents/MacOS/bootstrap-installer" 2>"$1"
}
started() { tail -n1 smoke-home/agent-started | grep -q "^$1"; }
cp pi_install_agent_pi_2.1.0_linux64.minisig old.minisig
sed -i 's/started with/2.1.1 started with/' agent/install
step update && again update.log && started "2.1.1 started" || fail "the update did not start: $(cat update.log)"
cp agent.zip pi_install_agent_pi_2.1.0_linux64 && cp old.minisig pi_install_agent_pi_2.1.0_linux64.minisig
again refused.log && started "2.1.1 started" || fail "an old signature put back replaced the agent"
expect refused refused.log
step undo && again undo.log && started "started with" || fail "signing again did not undo: $(cat undo.log)"
# A failed download reaches the system log under the product's name (a
# /dev of its own, in a mount namespace, holds the log's socket); a home
# without the agent, which would run instead.
if unshare -m true 2>/dev/null; then
  unshare -m sh -c 'mkdir dev && mount -t tmpfs tmpfs dev && cp -a /dev/null /dev/urandom dev/ &&
    { python3 -c "import socket, sys; s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1])
s.settimeout(30); print(s.recv(4096).decode())" dev/log > syslog.out & } &&
    for i in $(seq 200); do [ -S dev/log ] && break; sleep 0.05; done && mount --bind dev /dev &&
    { HOME="$PWD/empty-home" QV_INTERNAL_INSTALL_AGENT_URL="$1" "$2" 2>/dev/null; wait; }' \
    sh "${staging}missing" "out/Acme Setup.app/Contents/MacOS/bootstrap-installer" || true
  grep -q "Acme-Setup\[[0-9]*\]: Download failed! Error - HTTP status 404" syslog.out || fail "system log: $(cat syslog.out)"
else
  echo "SKIPPED the system log's identifier: needs a mount namespace (root; CI has one)"
fi

# The vendor's commonest mistakes fail the build with the user's words and the fix.
! builds name -DINSTALLER_AGENT_ARCHIVE="$PWD/pi_install_agent_pi_2.1.0_linux64" \
  -DINSTALLER_AGENT_SIGNATURE="$PWD/pi_install_agent_pi_2.1.0_linux64.minisig" || fail "signed for another name, built"
grep -F 'cannot be trusted: bad signature: signed for "pi_install_agent_pi_2.1.0_linux64", not "InstallAgent.zip"' name.log
grep -F "minisign -S -s <your secret key> -m InstallAgent.zip" name.log
! builds floor -DINSTALLER_AGENT_ARCHIVE="$PWD/InstallAgent.zip" -DINSTALLER_AGENT_SIGNATURE="$PWD/InstallAgent.zip.minisig" \
  -DINSTALLER_MIN_AGENT_TIMESTAMP=99999999999 || fail "signed before the floor, built"
grep -F "bad signature: signed earlier than the oldest agent this installer accepts" floor.log
mkdir folder && cp -r agent folder/Agent && (cd folder && zip -qr InstallAgent.zip Agent && minisign -S -s ../acme.key -m InstallAgent.zip)
! builds folder -DINSTALLER_AGENT_ARCHIVE="$PWD/folder/InstallAgent.zip" -DINSTALLER_AGENT_SIGNATURE="$PWD/folder/InstallAgent.zip.minisig" \
  -DINSTALLER_MIN_AGENT_TIMESTAMP="$floor" || fail "the agent's folder zipped, built"
grep -F "but Agent/install: the folder Agent was zipped instead of its contents" folder.log

mkdir ship-home && step ship
grep -q -- "-installbundle " ship-home/agent-started || fail "the shipped agent did not start"

step single
mkdir file-home && HOME="$PWD/file-home" release/Acme-Setup.run --from-the-file
grep -q -- "-installbundle [^ ]*/qv[^ /]*/bundle.zip --from-the-file" file-home/agent-started ||
  fail "the single file's agent did not start from its own directory: $(cat file-home/agent-started)"

# A new key, then only `cmake --install`: the .run and the bundle it installs have it.
step rotate
for file in release/Acme-Setup.run "release/Acme Setup.app/Contents/MacOS/bootstrap-installer"; do
  grep -qaF "$(sed -n 2p acme-2.pub)" "$file" || fail "$file was installed without the new key"
done
step staging-cert
openssl x509 -in staging.crt -noout -ext subjectAltName | grep -q "DNS:staging.acme.example" || fail "no staging name"
# With a passphrase this time, and no terminal.
mkdir pipeline && cd pipeline && cp ../pi_install_agent_pi_2.1.0_linux64 .
printf 'pass\npass\n' | minisign -G -p acme.pub -s acme.key >/dev/null
MINISIGN_PASSPHRASE=pass step pipeline && minisign -Vm pi_install_agent_pi_2.1.0_linux64 -p acme.pub >/dev/null
echo "vendor road: every step passed"
