# The `qorvel-plugin` link on every shell's PATH (sourced by scripts/setup.sh).
#
# link_command BIN_DIR TARGET: links BIN_DIR/qorvel-plugin to TARGET (this checkout's command). A
# link to another checkout's command that still works is kept (a second checkout must not take
# the machine's command over in silence), with one line on how to switch; something other than a
# link is left alone.
link_command() {  # bin_dir target
    local link=$1/qorvel-plugin target=$2 current
    if [ -L "$link" ]; then
        current=$(readlink "$link")
        if [ "$current" = "$target" ]; then
            echo "setup: $link -> $target"
            return 0
        fi
        if [ -e "$link" ]; then
            echo "setup: $link kept: it runs another checkout ($current); to use this one: ln -sfn $target $link"
            return 0
        fi
    elif [ -e "$link" ]; then
        echo "setup: $link left as it is; run '. .venv/bin/activate' to use qorvel-plugin" >&2
        return 0
    fi
    if [ -w "$1" ]; then
        ln -sfn "$target" "$link"
        echo "setup: $link -> $target"
    else
        echo "setup: $link not linked ($1 is not writable); run '. .venv/bin/activate' to use qorvel-plugin" >&2
    fi
}
