#!/usr/bin/env bash
# Fetches the Mol* viewer bundle of `qorvel-plugin serve` from the npm registry into the package
# (the only use of Node, and only at setup: nothing is fetched at run time). `make setup` runs it;
# it does nothing when the pinned version is already in place, and refuses files whose checksums
# differ from the ones recorded here for that version.
#   scripts/fetch_molstar.sh [VERSION]   (another version skips the checksum check)
set -euo pipefail
cd "$(dirname "$0")/.."
PINNED=5.11.0
VERSION=${1:-$PINNED}
TARGET=python/QorvelAPI/devhost/serve/static/molstar
FILES=(molstar.js molstar.css LICENSE)
SUMS="7fad5561c74bc900930fb57d6ab028d1aafdda82223a901bf932b1098e84f1f3  molstar.js
5b68ceb6d3642549b4e9b2c071e58e41b98a5350ae269180587b39da86925d55  molstar.css
eabd1831ed605a29cf9d7e60221c019c1bc026add81e3c0686ce5f24b3d4d500  LICENSE"

verified() {  # folder: the pinned files are there with their recorded checksums
    [ "$VERSION" = "$PINNED" ] || return 1
    (cd "$1" && echo "$SUMS" | sha256sum --check --status 2>/dev/null)
}

if [ -f "$TARGET/VERSION" ] && [ "$(cat "$TARGET/VERSION")" = "$VERSION" ] && verified "$TARGET"; then
    exit 0
fi
command -v npm >/dev/null || { echo "fetch_molstar: npm is needed to fetch the Mol* bundle" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "molstar@$VERSION" >/dev/null)
tar -xzf "$work/molstar-$VERSION.tgz" -C "$work" package/build/viewer/molstar.js package/build/viewer/molstar.css \
    package/LICENSE
# Copied unmodified: the bundle, its style sheet and its licence.
mkdir -p "$work/files"
for file in molstar.js molstar.css; do cp "$work/package/build/viewer/$file" "$work/files/"; done
cp "$work/package/LICENSE" "$work/files/"
if [ "$VERSION" = "$PINNED" ] && ! verified "$work/files"; then
    echo "fetch_molstar: the fetched molstar $VERSION differs from the recorded checksums; nothing installed" >&2
    exit 1
fi
mkdir -p "$TARGET"
for file in "${FILES[@]}"; do cp "$work/files/$file" "$TARGET/"; done
echo "$VERSION" > "$TARGET/VERSION"
echo "fetch_molstar: molstar $VERSION in $TARGET ($(du -sh "$TARGET" | cut -f1))"
