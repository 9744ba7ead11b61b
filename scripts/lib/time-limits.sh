# The table of time limits, cmake/TimeLimits.cmake, for the scripts: one
# time_limit(<name> <seconds> <what>) row a limit, as a native run needs it,
# and vm_time_factor(<factor>), how much longer each is in the VM.
time_limits_table="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/cmake/TimeLimits.cmake"

# The VM's factor.
vm_time_factor() {
    sed -n 's/^vm_time_factor(\([0-9]*\)).*/\1/p' "$time_limits_table"
}

# native_time_limit <name>: the table's limit, in seconds.
native_time_limit() {
    local seconds
    seconds=$(sed -n "s/^time_limit($1 *\([0-9]*\) .*/\1/p" "$time_limits_table")
    [ -n "$seconds" ] || { echo "time-limits: no limit $1" >&2; return 1; }
    echo "$seconds"
}

# vm_time_limit <name>: the limit in the VM, in seconds.
vm_time_limit() {
    local seconds
    seconds=$(native_time_limit "$1") || return 1
    echo $((seconds * $(vm_time_factor)))
}

# time_limit <name>: the limit where this shell runs, in seconds: the VM's
# inside the VM (VM_GUEST=1), the table's elsewhere.
time_limit() {
    if [ "${VM_GUEST:-}" = 1 ]; then
        vm_time_limit "$1"
    else
        native_time_limit "$1"
    fi
}
