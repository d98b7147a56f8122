# Shared set-up of the black-box tests. Each test gets a scratch tree that an
# ordinary user can reach, a HOME in it, and runs the built binary with no
# environment but HOME and PATH.

: "${ZELTO_BIN:?set ZELTO_BIN to the zelto_path binary under test}"

# A second long before any test runs, for mtimes set by hand.
OLD=1000000000

# Scratch trees live in memory where the system offers it: creating files is
# much cheaper there.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    SCRATCH=${SCRATCH:-/dev/shm}
fi

setup() {
    T=$(mktemp -d "${SCRATCH:-/tmp}/zelto-test.XXXXXX")
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

# at SECONDS FILE...: sets the modification time, in seconds since the epoch
# (a fraction may follow).
at() {
    local when=$1
    shift
    touch -h -d "@$when" "$@"
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

# zp_as_user [ARG...]: as zp, as the unprivileged uid and gid 65534. The run
# uses a copy of the binary in the scratch tree: the build tree may sit where
# an ordinary user cannot reach it.
zp_as_user() {
    install -m 755 "$ZELTO_BIN" "$T/zelto_path"
    status=0
    env -i HOME="$home" PATH="$path" \
        "$(command -v setpriv)" --reuid=65534 --regid=65534 --clear-groups \
        ${ZELTO_WRAP:-} "$T/zelto_path" "$@" >"$T/out" 2>"$T/err" || status=$?
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
