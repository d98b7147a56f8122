# Shared set-up of the black-box tests. Each test gets a scratch tree under
# ${TMPDIR:-/tmp} that an ordinary user can reach, a HOME in it, and runs the
# built binary with no environment but HOME and PATH. The tests pass for root
# and for an ordinary user alike: where a case needs an ordinary user, root
# runs it as uid and gid 65534.

: "${ZELTO_BIN:?set ZELTO_BIN to the zelto_path binary under test}"

# A second long before any test runs, for mtimes set by hand.
OLD=1000000000

# The interpreter itself, not a wrapper script that needs a PATH to work:
# the one the build found, or python3.
PYTHON=$("${ZELTO_PYTHON:-python3}" -c 'import sys; print(sys.executable)')

setup() {
    T=$(mktemp -d "${TMPDIR:-/tmp}/zelto-test.XXXXXX")
    chmod 755 "$T"
    home=$T/home
    mkdir "$home"
    cache=$home/.zelto_cache
    path=
}

teardown() {
    if [ -n "${mounted:-}" ]; then
        umount "$mounted"
    fi
    # Directories a case left unreadable or unwritable stop an ordinary
    # user's rm.
    chmod -R u+rwx "$T"
    rm -rf "$T"
}

# mkfiles MODE DIR NAME...: empty files with MODE in DIR (created if need
# be), made in bulk.
mkfiles() {
    local mode=$1 dir=$2 name
    shift 2
    mkdir -p "$dir"
    for name; do
        : >"$dir/$name"
    done
    [ "$#" -eq 0 ] || (cd "$dir" && printf './%s\0' "$@" | xargs -0 chmod "$mode")
}

# mkexe DIR NAME...: executable files.
mkexe() {
    mkfiles 755 "$@"
}

# mkplain DIR NAME...: files without any execute bit.
mkplain() {
    mkfiles 644 "$@"
}

# utc_time SECONDS: the date and time, in UTC, of SECONDS since the epoch, as
# YYYY-MM-DDThh:mm:ss (the civil calendar from a count of days).
utc_time() {
    local days=$(($1 / 86400)) time=$(($1 % 86400))
    local z=$((days + 719468))
    local era=$((z / 146097))
    local doe=$((z - era * 146097))
    local yoe=$(((doe - doe / 1460 + doe / 36524 - doe / 146096) / 365))
    local doy=$((doe - (365 * yoe + yoe / 4 - yoe / 100)))
    local mp=$(((5 * doy + 2) / 153))
    local day=$((doy - (153 * mp + 2) / 5 + 1))
    local month=$((mp < 10 ? mp + 3 : mp - 9))
    local year=$((yoe + era * 400 + (month <= 2)))
    printf '%04d-%02d-%02dT%02d:%02d:%02d' "$year" "$month" "$day" \
        $((time / 3600)) $((time % 3600 / 60)) $((time % 60))
}

# at SECONDS[.FRACTION] FILE...: sets the modification time, in seconds since
# the epoch.
at() {
    local when=$1 fraction=
    shift
    case $when in
    *.*) fraction=.${when#*.} ;;
    esac
    touch -h -d "$(utc_time "${when%%.*}")${fraction}Z" "$@"
}

# mtime FILE: the modification time in whole seconds.
mtime() {
    "$PYTHON" -c 'import os, sys; print(int(os.stat(sys.argv[1]).st_mtime))' "$1"
}

# ctime FILE: the status change time in whole seconds.
ctime() {
    "$PYTHON" -c 'import os, sys; print(int(os.stat(sys.argv[1]).st_ctime))' "$1"
}

# nanoseconds FILE: the fraction of a second of the modification time, in
# nanoseconds.
nanoseconds() {
    "$PYTHON" -c 'import os, sys; print(os.stat(sys.argv[1]).st_mtime_ns % 10**9)' "$1"
}

# mode FILE: the permission bits, in octal.
mode() {
    "$PYTHON" -c 'import os, sys; print("%o" % (os.stat(sys.argv[1]).st_mode & 0o7777))' "$1"
}

# require TOOL REASON: skips the test, saying why, where TOOL is missing.
require() {
    command -v "$1" >/dev/null || skip "no $1: $2"
}

# sysdir: a PATH directory holding only a link to the system's cat, dated
# OLD, so that a fresh cache can be replayed. Prints its path.
sysdir() {
    mkdir -p "$T/sys"
    ln -sf "$(command -v cat)" "$T/sys/cat"
    at "$OLD" "$T/sys"
    printf '%s' "$T/sys"
}

# zp_env NAME=VALUE... [-- ARG...]: runs the binary with no environment but
# the given one. Standard output goes to $T/out, standard error to $T/err, the
# exit status to $status.
zp_env() {
    local variables=()
    while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
        variables+=("$1")
        shift
    done
    [ "$#" -eq 0 ] || shift
    status=0
    env -i "${variables[@]}" ${ZELTO_WRAP:-} "$ZELTO_BIN" "$@" >"$T/out" 2>"$T/err" ||
        status=$?
}

# zp [ARG...]: runs the binary with HOME=$home and PATH=$path.
zp() {
    zp_env HOME="$home" PATH="$path" -- "$@"
}

# is_root: whether the tests run as root.
is_root() {
    [ "$(id -u)" -eq 0 ]
}

# zp_as_user [ARG...]: as zp, as an ordinary user: the one running the tests,
# or for root the unprivileged uid and gid 65534. Root's run uses a copy of
# the binary in the scratch tree: the build tree may sit where uid 65534
# cannot reach it.
zp_as_user() {
    if ! is_root; then
        zp "$@"
        return
    fi
    install -m 755 "$ZELTO_BIN" "$T/zelto_path"
    status=0
    env -i HOME="$home" PATH="$path" \
        "$PYTHON" "$BATS_TEST_DIRNAME/as_user.py" \
        ${ZELTO_WRAP:-} "$T/zelto_path" "$@" >"$T/out" 2>"$T/err" || status=$?
    [ "$status" -ne 77 ] || skip "$(cat "$T/err")"
}

# own_home: gives HOME to the user zp_as_user runs as.
own_home() {
    if is_root; then
        chown 65534:65534 "$home"
    fi
}

# expect_lines LINE...: standard output is exactly these lines; status 0.
expect_lines() {
    if [ "$#" -eq 0 ]; then
        : >"$T/expected"
    else
        printf '%s\n' "$@" >"$T/expected"
    fi
    if ! diff -u "$T/expected" "$T/out" || [ "$status" -ne 0 ] || [ -s "$T/err" ]; then
        printf 'status %s, standard error:\n' "$status"
        cat "$T/err"
        return 1
    fi
}

# expect_failure MESSAGE: one failure line with MESSAGE, status 1, and nothing
# on standard output.
expect_failure() {
    printf 'zelto_path: %s\n' "$1" | diff -u - "$T/err"
    [ "$status" -eq 1 ]
    [ ! -s "$T/out" ]
}

# no_temporary_files: nothing but the cache is left in HOME.
no_temporary_files() {
    local left
    left=$(find "$home" -maxdepth 1 -name '.zelto_cache?*')
    [ -z "$left" ]
}
