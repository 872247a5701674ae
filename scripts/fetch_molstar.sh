#!/usr/bin/env bash
# Refreshes the vendored Mol* viewer bundle of `qorvel-plugin serve` from the npm registry.
# Run it only to change the pinned version: the files it copies are committed, so neither Node
# nor the network is needed to run or test the package.
#   scripts/fetch_molstar.sh [VERSION]
set -euo pipefail
cd "$(dirname "$0")/.."
VERSION=${1:-5.11.0}
TARGET=python/QorvelAPI/devhost/serve/static/molstar
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "molstar@$VERSION" >/dev/null)
tar -xzf "$work/molstar-$VERSION.tgz" -C "$work" package/build/viewer/molstar.js package/build/viewer/molstar.css \
    package/LICENSE package/package.json
mkdir -p "$TARGET"
# Copied unmodified: the bundle, its style sheet and its licence.
cp "$work/package/build/viewer/molstar.js" "$work/package/build/viewer/molstar.css" "$work/package/LICENSE" "$TARGET/"
echo "$VERSION" > "$TARGET/VERSION"
echo "fetch_molstar: molstar $VERSION in $TARGET ($(du -sh "$TARGET" | cut -f1))"
