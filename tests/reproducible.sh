#!/usr/bin/env bash
# The release (bundle and .run, as `cmake --install` lays them out) built
# twice from scratch and compared byte for byte. The second build differs in
# everything that must not matter: the source is a fresh copy at another
# path with new file times, the product archive is a copy elsewhere, and
# umask and time zone differ. The first difference is named.
#   reproducible.sh <source dir> <work dir>
set -euo pipefail
src=$(cd "$1" && pwd) work=$2
rm -rf "$work" && mkdir -p "$work/a" "$work/elsewhere/copy" && cd "$work" && work=$PWD
fail() { echo "FAILED: $*" >&2; exit 1; }

# The inputs a vendor gives: a product archive (stored with fixed times) and a key.
mkdir product && echo "Acme Draw" > product/readme.txt && touch -d @1700000000 product/readme.txt
(cd product && TZ=UTC zip -qX ../acme-draw.zip readme.txt)
minisign -G -W -p acme.pub -s acme.key >/dev/null
cp acme-draw.zip elsewhere/acme-draw.zip
# What a clone has (the working tree's files, no build trees), at its own path.
{ git -C "$src" ls-files -z --cached --others --exclude-standard 2>/dev/null ||
  (cd "$src" && find . -name 'build*' -prune -o -type f -print0); } |
  tar -C "$src" --null -T - -cf - | tar -C elsewhere/copy -xmf -

release() {  # source dir, build dir, product archive
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DINSTALLER_TESTS=OFF -DINSTALLER_BUNDLE_NAME="Acme Setup" \
    -DINSTALLER_PRODUCT_ARCHIVE="$3" -DINSTALLER_CACHE_FOLDER=.acme-draw \
    -DINSTALLER_PUBLIC_KEYS="$(sed -n 2p acme.pub)" -DINSTALLER_MIN_AGENT_TIMESTAMP=1700000000 >/dev/null
  cmake --build "$2" --target single-file -j"$(nproc)" >/dev/null
  cmake --install "$2" --prefix "$2/release" >/dev/null
}
start=$SECONDS
(umask 022; TZ=UTC release "$src" a/out "$work/acme-draw.zip")
(umask 077; TZ=Pacific/Chatham release elsewhere/copy elsewhere/out "$work/elsewhere/acme-draw.zip")

# Names, modes and bytes; the first that differs fails.
listing() { (cd "$1" && find . -mindepth 1 -printf '%p %y %m\n' | LC_ALL=C sort); }
diff <(listing a/out/release) <(listing elsewhere/out/release) >listing.diff ||
  fail "the two releases hold different files or modes: $(head -n 3 listing.diff)"
count=0
while IFS= read -r -d '' f; do
  cmp "a/out/release/$f" "elsewhere/out/release/$f" || fail "$f differs between the two builds"
  count=$((count + 1))
done < <(cd a/out/release && find . -type f -print0 | LC_ALL=C sort -z)
[ "$count" -ge 7 ] || fail "only $count files were built"
for tree in a elsewhere; do
  echo "== $tree" && (cd $tree/out/release && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
done
echo "reproducible: $count files identical ($((SECONDS - start)) s for both builds)"
