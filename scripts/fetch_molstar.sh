#!/usr/bin/env bash
# Fetches the Mol* viewer bundle of `qorvel-plugin serve` from the npm registry into the package
# (only at setup: nothing is fetched at run time), checked against the checksums recorded here
# (scripts/npm_fetch.sh). `make setup` runs it.
#   scripts/fetch_molstar.sh [VERSION]   (another version skips the checksum check)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/npm_fetch.sh
PINNED=5.11.0
SUMS="7fad5561c74bc900930fb57d6ab028d1aafdda82223a901bf932b1098e84f1f3  molstar.js
5b68ceb6d3642549b4e9b2c071e58e41b98a5350ae269180587b39da86925d55  molstar.css
eabd1831ed605a29cf9d7e60221c019c1bc026add81e3c0686ce5f24b3d4d500  LICENSE"
npm_fetch fetch_molstar molstar "$PINNED" "${1:-$PINNED}" python/QorvelAPI/devhost/serve/static/molstar "$SUMS" \
    package/build/viewer/molstar.js package/build/viewer/molstar.css package/LICENSE
