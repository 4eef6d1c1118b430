# Sourced by the example checks: controller stand-ins on loopback addresses,
# and whether each stored a file exact.

pids=()

# begin_check COMMAND NAME: skipped (77) without COMMAND; else in a new work
# folder, $work, which is also the home folder (GNU parallel, Ansible and
# kvr-transfer keep files there), removed with the stand-ins at the end.
begin_check() {
    command -v "$1" >/dev/null || {
        echo "$2 is not installed: skipped"
        exit 77
    }
    work=$(mktemp -d)
    trap 'stop_standins; rm -rf "$work"' EXIT
    export HOME=$work XDG_CONFIG_HOME=$work/config
    cd "$work"
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# wait_for_line FILE TEXT: up to ten seconds for a line of the stand-in.
wait_for_line() {
    for _ in $(seq 200); do
        grep -qF -- "$2" "$1" && return 0
        sleep 0.05
    done
    return 1
}

# start_standin SIM DIR HOST:PORT: one stand-in, its files in DIR/HOST:PORT.
start_standin() {
    local log="$2/$3.log"
    "$1" --listen "${3%:*}" --port "${3##*:}" --dir "$2/$3" >"$log" 2>&1 &
    pids+=($!)
    wait_for_line "$log" "listening on" || fail "no stand-in on $3: $(cat "$log")"
}

stop_standins() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}

# check_stored DIR FILE HOST:PORT...: each stand-in has FILE, byte for byte.
check_stored() {
    local dir=$1 file=$2 name
    name=$(basename "$file")
    shift 2
    for address; do
        wait_for_line "$dir/$address.log" "file received: $name" ||
            fail "$address did not receive $name"
        cmp -s "$file" "$dir/$address/$name" || fail "$address stored $name other than sent"
    done
}

# check_nothing_stored DIR HOST:PORT...
check_nothing_stored() {
    local dir=$1
    shift
    for address; do
        [ -z "$(ls -A "$dir/$address" 2>/dev/null)" ] || fail "$address got a file"
    done
}
