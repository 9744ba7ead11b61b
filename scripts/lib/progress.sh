# Sourced by the commands in scripts/: what they tell of their progress.

# One short line per phase of a command, named after it ("test: building in
# ..."), so that a long first run never looks hung.
phase() {
    local name=${0##*/}
    echo "${name%.sh}: $*"
}
