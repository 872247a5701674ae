# Fetches pinned files of a front-end package from the npm registry into the package, at setup
# only (nothing is fetched at run time). Sourced by the fetch_*.sh scripts, which name the package,
# its pinned version, the files and their recorded checksums. Does nothing when the pinned version
# is already in place, and installs nothing when a fetched file's checksum differs.

# npm_fetch TAG PACKAGE PINNED VERSION TARGET SUMS PATH...: PATH is a file's path in the package
# (package/...); the files land in TARGET under their own names. Another VERSION than PINNED skips
# the checksum check.
npm_fetch() {
    local tag=$1 package=$2 pinned=$3 version=$4 target=$5 sums=$6
    shift 6
    verified() {  # folder: the pinned files are there with their recorded checksums
        [ "$version" = "$pinned" ] || return 1
        (cd "$1" && echo "$sums" | sha256sum --check --status 2>/dev/null)
    }
    if [ -f "$target/VERSION" ] && [ "$(cat "$target/VERSION")" = "$version" ] && verified "$target"; then
        return 0
    fi
    command -v npm >/dev/null || { echo "$tag: npm is needed to fetch $package" >&2; return 1; }
    local work path tarball
    work=$(mktemp -d)
    # The tarball's name is the package's without its scope's @ and with / as -.
    tarball=$(echo "$package" | sed 's/^@//; s#/#-#')-$version.tgz
    if ! (cd "$work" && npm pack --silent "$package@$version" >/dev/null) ||
       ! tar -xzf "$work/$tarball" -C "$work" "$@"; then
        rm -rf "$work"
        echo "$tag: could not fetch $package $version from the npm registry" >&2
        return 1
    fi
    # Copied unmodified.
    mkdir -p "$work/files"
    for path in "$@"; do cp "$work/$path" "$work/files/"; done
    if [ "$version" = "$pinned" ] && ! verified "$work/files"; then
        rm -rf "$work"
        echo "$tag: the fetched $package $version differs from the recorded checksums; nothing installed" >&2
        return 1
    fi
    mkdir -p "$target"
    for path in "$@"; do cp "$work/files/$(basename "$path")" "$target/"; done
    echo "$version" > "$target/VERSION"
    rm -rf "$work"
    echo "$tag: $package $version in $target ($(du -sh "$target" | cut -f1))"
}
