# Shared set-up of the black-box tests. Each test gets a scratch tree under
# ${TMPDIR:-/tmp} that an ordinary user can reach, a HOME in it, and runs the
# built binary with no environment but HOME and PATH. The tests pass for root
# and for an ordinary user alike: where a case needs an ordinary user, root
# runs it as uid and gid 65534.

: "${ZELTO_BIN:?set ZELTO_BIN to the zelto_path binary under test}"

# A second long before any test runs, for mtimes set by hand.
OLD=1000000000
# A second long after any change a test makes, for a cache that is to be
# fresh: a component's change time, which no test can set, counts against a
# cache as its modification time does.
LATER=$(($(date -u +%s) + 100000))

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
    # File systems a case mounted, the last first.
    local mount
    for mount in ${mounted:-}; do
        umount "$mount"
    done
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

# identity FILE: the inode and the modification time to the nanosecond,
# which a replaced file does not keep.
identity() {
    "$PYTHON" -c 'import os, sys; s = os.stat(sys.argv[1]); print(s.st_ino, s.st_mtime_ns)' "$1"
}

# uid_of FILE: the user ID that owns FILE (a link itself, not its target).
uid_of() {
    ls -ln "$1" | awk '{ print $3 }'
}

# mksocket FILE: binds a Unix-domain socket at FILE, and leaves it there.
mksocket() {
    "$PYTHON" -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$1"
}

# mode FILE: the permission bits, in octal.
mode() {
    "$PYTHON" -c 'import os, sys; print("%o" % (os.stat(sys.argv[1]).st_mode & 0o7777))' "$1"
}

# settle: waits until every change made so far lies in a second no later
# than the one the next rebuild dates its cache in, as a change made long
# before would: the start of the next even second that is at least a second
# away.
settle() {
    "$PYTHON" -c 'import time; t = time.time(); time.sleep(int(t) + 1 + int(t + 1) % 2 + 0.1 - t)'
}

# next_second [odd|even]: waits until a tenth of a second into the next
# second, or the next odd or even one: late enough for a cache dated by a run
# started then not to allow for a clock tick at the turn of the second.
next_second() {
    "$PYTHON" -c 'import sys, time; t = time.time(); n = int(t) + 1
parity = {"odd": 1, "even": 0}.get(sys.argv[1] if len(sys.argv) > 1 else "")
n += parity is not None and n % 2 != parity; time.sleep(n + 0.1 - t)' "$@"
}

# mount_image DIR TYPE: makes a small image of file system TYPE in the
# scratch tree and mounts it on DIR (created): seconds, an ext4 with 128-byte
# inodes, which keeps whole seconds; ext4, which keeps nanoseconds; fat,
# through FUSE, which keeps two seconds; tmpfs, of half a megabyte, in
# memory. Skips, saying why, where that cannot be done. The image is
# DIR.image.
mount_image() {
    local dir=$1 type=$2 image=$1.image
    is_root || skip "mounting a file system image needs root"
    mkdir -p "$dir"
    case $type in
    seconds | ext4)
        require mkfs.ext4 "the file system is an ext4 image, made on Linux"
        dd if=/dev/zero of="$image" bs=1024 count=4096 2>/dev/null
        if [ "$type" = seconds ]; then
            mkfs.ext4 -q -F -I 128 "$image" >/dev/null 2>&1
        else
            mkfs.ext4 -q -F "$image" >/dev/null 2>&1
        fi
        mount -o loop "$image" "$dir" 2>/dev/null ||
            skip "the image cannot be mounted through a loop device here" ;;
    fat)
        require mkfs.fat "the FAT image is made with mkfs.fat (dosfstools)"
        require fusefat "FAT is mounted through FUSE with fusefat"
        dd if=/dev/zero of="$image" bs=1024 count=8192 2>/dev/null
        mkfs.fat "$image" >/dev/null
        fusefat -o rw+ "$image" "$dir" >/dev/null 2>&1 ||
            skip "no FAT through FUSE here: fusefat cannot mount"
        ;;
    tmpfs)
        mount -t tmpfs -o size=512k tmpfs "$dir" 2>/dev/null || skip "no tmpfs can be mounted here" ;;
    esac
    mounted="$dir ${mounted:-}"
}

# records_kept: skips unless HOME keeps times to the nanosecond, and so the
# record of what a cache was made from.
records_kept() {
    : >"$home/probe"
    "$PYTHON" -c 'import os, sys; os.utime(sys.argv[1], ns=(0, 123456789))' "$home/probe"
    [ "$(nanoseconds "$home/probe")" -eq 123456789 ] ||
        skip "the scratch file system keeps no nanoseconds, so no cache records anything"
    rm "$home/probe"
}

# stress SUBCOMMAND [COUNT]: runs that part of stress.py; the figures it
# prints go to the TAP output.
stress() {
    local status=0
    "$PYTHON" "$BATS_TEST_DIRNAME/stress.py" "$@" >"$T/report" || status=$?
    sed 's/^/# /' "$T/report" >&3
    return "$status"
}

# require_strace: skips the test where Linux's strace is missing.
require_strace() {
    require strace "system calls are traced, held up or made to fail with Linux's strace"
}

# zp_strace OPTION...: as zp, under Linux's strace with these options, which
# traces to $T/trace. Skips where strace is missing.
zp_strace() {
    require_strace
    status=0
    env -i HOME="$home" PATH="$path" ASAN_OPTIONS=detect_leaks=0 "$(command -v strace)" -f -qq \
        -o "$T/trace" "$@" "$ZELTO_BIN" >"$T/out" 2>"$T/err" || status=$?
}

# open_call PATTERN: the open whose line in strace's output matches PATTERN,
# in a run like the next one, as the call (open or openat, as the libc makes
# it) and its number among the run's calls of that name, which strace counts
# apart. The old cache is put back afterwards. Call require_strace first: a
# skip here would end only the subshell that reads the result.
open_call() {
    cp -p "$cache" "$T/old"
    zp_strace -e trace=open,openat
    mv "$T/old" "$cache"
    sed -E 's/^[0-9]+ +//' "$T/trace" | awk -v pattern="$1" '
        { count[$0 ~ /^openat\(/ ? "openat" : "open"]++ }
        $0 ~ pattern { call = $0 ~ /^openat\(/ ? "openat" : "open"; print call, count[call]; exit }'
}

# call_number CALL PATTERN: the number, among the calls of CALL that a run
# like the next one makes, of the first whose line in strace's output matches
# PATTERN (an extended regular expression). The caller undoes what the run
# changed. Call require_strace first.
call_number() {
    zp_strace -e trace="$1"
    sed -E 's/^[0-9]+ +//' "$T/trace" | awk -v pattern="$2" '{ n++ } $0 ~ pattern { print n; exit }'
}

# zp_held CALL NUMBER HOLD PATTERN COMMAND...: as zp_strace, with the run held
# for a second at the NUMBERth call of CALL, on its entry or exit
# (HOLD: delay_enter or delay_exit). COMMAND runs once strace's output shows a
# line matching PATTERN, which it writes as the run reaches that call, and so
# while the run is held there.
zp_held() {
    local call=$1 number=$2 hold=$3 pattern=$4
    shift 4
    rm -f "$T/trace"
    (
        zp_strace -e trace="$call" -e inject="$call:$hold=1000000:when=$number"
        echo "$status" >"$T/status"
    ) &
    traced "$pattern"
    "$@"
    wait $!
    status=$(cat "$T/status")
}

# traced PATTERN: waits, for up to half a minute, until strace's output shows
# a line matching PATTERN (an extended regular expression).
traced() {
    for _ in $(seq 3000); do
        ! grep -Eq "$1" "$T/trace" 2>/dev/null || return 0
        sleep 0.01
    done
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

# bounded zp|zp_as_user [ARG...]: the run, stopped after 20 s, so that one
# that waits for ever (on a FIFO, or following links without end) fails the
# case rather than hang it.
bounded() {
    ZELTO_WRAP="$(command -v timeout) 20 ${ZELTO_WRAP:-}" "$@"
}

# is_root: whether the tests run as root.
is_root() {
    [ "$(id -u)" -eq 0 ]
}

# zp_as_user [ARG...]: as zp, as an ordinary user: the one running the tests,
# or for root the unprivileged uid and gid 65534, with the supplementary
# groups in $user_groups (GID,GID...), or none. Root's run uses a copy of the
# binary in the scratch tree: the build tree may sit where uid 65534 cannot
# reach it.
zp_as_user() {
    if ! is_root; then
        zp "$@"
        return
    fi
    install -m 755 "$ZELTO_BIN" "$T/zelto_path"
    status=0
    env -i HOME="$home" PATH="$path" \
        "$PYTHON" "$BATS_TEST_DIRNAME/as_user.py" ${user_groups:+-g "$user_groups"} \
        ${ZELTO_WRAP:-} "$T/zelto_path" "$@" >"$T/out" 2>"$T/err" || status=$?
    [ "$status" -ne 77 ] || skip "$(cat "$T/err")"
}

# own_home: gives HOME to the user zp_as_user runs as.
own_home() {
    if is_root; then
        chown 65534:65534 "$home"
    fi
}

# expected_lines LINE...: these lines, or nothing, in $T/expected.
expected_lines() {
    if [ "$#" -eq 0 ]; then
        : >"$T/expected"
    else
        printf '%s\n' "$@" >"$T/expected"
    fi
}

# expect_lines LINE...: standard output is exactly these lines; status 0.
expect_lines() {
    expected_lines "$@"
    if ! diff -u "$T/expected" "$T/out" || [ "$status" -ne 0 ] || [ -s "$T/err" ]; then
        printf 'status %s, standard error:\n' "$status"
        cat "$T/err"
        return 1
    fi
}

# expect_said STATUS MESSAGE LINE...: standard output is exactly these lines,
# the exit status STATUS, and standard error the one line with MESSAGE.
expect_said() {
    local expected_status=$1 message=$2
    shift 2
    expected_lines "$@"
    diff -u "$T/expected" "$T/out"
    printf 'zelto_path: %s\n' "$message" | diff -u - "$T/err"
    [ "$status" -eq "$expected_status" ]
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
