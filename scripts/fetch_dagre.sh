#!/usr/bin/env bash
# Fetches the graph layout library of the flow editor of `qorvel-plugin serve` (the plain ES module
# build of @dagrejs/dagre, which carries its graph library inside) from the npm registry into the
# package, at setup only, checked against the checksums recorded here (scripts/npm_fetch.sh).
#   scripts/fetch_dagre.sh [VERSION]   (another version skips the checksum check)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/npm_fetch.sh
PINNED=3.1.4
SUMS="d7786eabac1cd9bee2cd96f461a222732c5125b9741ebe6ca362f0f09ef61443  dagre.esm.js
6a349742a6cb219d5a2fc8d0844f6d89a6efc62e20c664450d884fc7ff2d6015  LICENSE"
npm_fetch fetch_dagre @dagrejs/dagre "$PINNED" "${1:-$PINNED}" python/QorvelAPI/devhost/serve/static/dagre "$SUMS" \
    package/dist/dagre.esm.js package/LICENSE
