#!/usr/bin/env bash
# Fetches the graph layout library of the flow editor of `qorvel-plugin serve` (the plain ES module
# build of @dagrejs/dagre, which carries its graph library inside) from the npm registry into the
# package, at setup only. It does nothing when the pinned version is already in place, and refuses
# files whose checksums differ from the ones recorded here for that version.
#   scripts/fetch_dagre.sh [VERSION]   (another version skips the checksum check)
set -euo pipefail
cd "$(dirname "$0")/.."
PINNED=3.1.4
VERSION=${1:-$PINNED}
TARGET=python/QorvelAPI/devhost/serve/static/dagre
FILES=(dagre.esm.js LICENSE)
SUMS="d7786eabac1cd9bee2cd96f461a222732c5125b9741ebe6ca362f0f09ef61443  dagre.esm.js
6a349742a6cb219d5a2fc8d0844f6d89a6efc62e20c664450d884fc7ff2d6015  LICENSE"

verified() {  # folder: the pinned files are there with their recorded checksums
    [ "$VERSION" = "$PINNED" ] || return 1
    (cd "$1" && echo "$SUMS" | sha256sum --check --status 2>/dev/null)
}

if [ -f "$TARGET/VERSION" ] && [ "$(cat "$TARGET/VERSION")" = "$VERSION" ] && verified "$TARGET"; then
    exit 0
fi
command -v npm >/dev/null || { echo "fetch_dagre: npm is needed to fetch the layout library" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "@dagrejs/dagre@$VERSION" >/dev/null)
tar -xzf "$work/dagrejs-dagre-$VERSION.tgz" -C "$work" package/dist/dagre.esm.js package/LICENSE
mkdir -p "$work/files"
cp "$work/package/dist/dagre.esm.js" "$work/package/LICENSE" "$work/files/"
if [ "$VERSION" = "$PINNED" ] && ! verified "$work/files"; then
    echo "fetch_dagre: the fetched @dagrejs/dagre $VERSION differs from the recorded checksums; nothing installed" >&2
    exit 1
fi
mkdir -p "$TARGET"
for file in "${FILES[@]}"; do cp "$work/files/$file" "$TARGET/"; done
echo "$VERSION" > "$TARGET/VERSION"
echo "fetch_dagre: @dagrejs/dagre $VERSION in $TARGET ($(du -sh "$TARGET" | cut -f1))"
