#!/usr/bin/env bats
# When the cache is replayed and when the listing is rebuilt.

load common

# A cache that no rebuild would write, so that a replay shows.
replayable_cache() {
    printf 'replayed\n' >"$cache"
    at "$OLD" "$cache"
}

@test "no cache: the listing is rebuilt and stored" {
    mkexe "$T/bin" tool
    path=$T/bin
    zp
    expect_lines tool
    printf 'tool\n' | cmp - "$cache"
}

@test "the cache is replayed unless a component is newer by a whole second" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    # The component's mtime, in seconds and a fraction after the cache's
    # second (the cache's own fraction is .5), and whether the cache replays.
    while read -r seconds fraction replays; do
        replayable_cache
        at "$OLD.5" "$cache"
        at "$((OLD + seconds)).$fraction" "$T/bin"
        zp
        if [ "$replays" = yes ]; then
            expect_lines replayed
        else
            expect_lines cat tool
        fi
    done <<-'CASES'
		-50 0 yes
		0 0 yes
		0 9 yes
		1 0 no
		5000 0 no
	CASES
}

@test "a command installed right after a rebuild is listed by the next run" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    # From the start of a second, so that the rebuild and the install fall
    # within the same one, where a cache dated when it was written would
    # still count as fresh.
    "$PYTHON" -c 'import time; time.sleep(1 - time.time() % 1)'
    zp
    expect_lines cat tool
    mkexe "$T/bin" installed
    zp
    expect_lines cat installed tool
    cmp "$T/out" "$cache"
}

# settle: waits until every change made so far lies in a second no later than
# the one the next rebuild dates its cache in, as a change made long before
# would.
settle() {
    "$PYTHON" -c 'import time; time.sleep(1.1 - time.time() % 1)'
}

# mark_cache: replaces the cache's content with "replayed", keeping its time
# to the nanosecond, so that a run that replays it shows.
mark_cache() {
    "$PYTHON" - "$cache" <<-'PY'
		import os, sys
		status = os.stat(sys.argv[1])
		with open(sys.argv[1], "wb") as f:
		    f.write(b"replayed\n")
		os.utime(sys.argv[1], ns=(status.st_atime_ns, status.st_mtime_ns))
	PY
}

@test "after a settled rebuild an unchanged PATH replays the cache" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    : >"$T/file"
    # Each kind of component: read, missing, no directory, read already.
    path=$T/a:$T/missing:$T/file:$T/b:$T/a:$(sysdir)
    at "$OLD" "$T/a" "$T/b" "$T/file"
    settle
    zp
    expect_lines cat one two
    mark_cache
    for _ in 1 2; do
        zp
        expect_lines replayed
    done
}

# record_case CASE: a tree for CASE, every directory in it older than any
# cache, and the PATH to rebuild with ($before) and to run with once CASE's
# change is made ($after).
record_case() {
    local d=$T/$1
    case $1 in
    gained | deleted)
        mkexe "$d/a" one
        mkexe "$d/b" two
        # gained: b joins PATH after the rebuild; deleted: b goes.
        before=$d/a:$d/b after=$d/a:$d/b
        [ "$1" = deleted ] || before=$d/a ;;
    repointed)
        mkexe "$d/v1" old
        mkexe "$d/v2" new
        ln -s v1 "$d/current"
        before=$d/current after=$d/current ;;
    profile)
        # A store that dates everything in 1970, reached through a link.
        mkexe "$d/store/aaa-old/bin" old
        mkexe "$d/store/bbb-new/bin" new
        ln -s store/aaa-old "$d/profile"
        before=$d/profile/bin after=$d/profile/bin ;;
    set_back | clock_ahead | same_tick)
        mkexe "$d/a" one
        before=$d/a after=$d/a ;;
    esac
    at "$OLD" $(find "$d" -type d)
    [ "$1" != profile ] || at 1 $(find "$d/store" -type d)
    before=$before:$T/sys after=$after:$T/sys
}

# date_cache SECONDS: sets the cache's time to SECONDS, keeping its fraction.
date_cache() {
    "$PYTHON" -c 'import os, sys; s = os.stat(sys.argv[1])
os.utime(sys.argv[1], ns=(s.st_atime_ns, int(sys.argv[2]) * 10**9 + s.st_mtime_ns % 10**9))' \
        "$cache" "$1"
}

# record_change CASE: the change.
record_change() {
    local d=$T/$1
    case $1 in
    gained) ;;
    deleted) rm -r "$d/b" ;;
    repointed) ln -s -f -n v2 "$d/current" ;;
    profile) ln -s -f -n store/bbb-new "$d/profile" ;;
    set_back)
        mkexe "$d/a" two
        at "$OLD" "$d/a" ;;
    clock_ahead)
        # As if the clock had run an hour ahead when the cache was written.
        date_cache "$(($(mtime "$cache") + 3600))"
        mkexe "$d/a" two ;;
    same_tick)
        # As if a's last change had come within the clock tick in which the
        # scan looked at it, its change time left as recorded: the cache is
        # then dated before the second of that change.
        date_cache "$(($(ctime "$d/a") - 1))" ;;
    esac
}

@test "a cache is read again when what it records changes, whatever the times say" {
    # Where times are kept to the nanosecond, and the record with them.
    : >"$home/probe"
    "$PYTHON" -c 'import os, sys; os.utime(sys.argv[1], ns=(0, 123456789))' "$home/probe"
    [ "$(nanoseconds "$home/probe")" -eq 123456789 ] ||
        skip "the scratch file system keeps no nanoseconds, so no cache records anything"
    rm "$home/probe"
    sysdir >/dev/null
    cases="gained deleted repointed profile set_back clock_ahead same_tick"
    declare -A before_of after_of
    for case in $cases; do
        record_case "$case"
        before_of[$case]=$before after_of[$case]=$after
    done
    settle
    # The listing each case must print after its change.
    declare -A listed=([gained]="cat one two" [deleted]="cat one" [repointed]="cat new"
        [profile]="cat new" [set_back]="cat one two" [clock_ahead]="cat one two"
        [same_tick]="cat one")
    failed=
    for case in $cases; do
        rm -f "$cache"
        path=${before_of[$case]}
        zp
        mark_cache
        zp
        expect_lines replayed
        record_change "$case"
        path=${after_of[$case]}
        zp
        if ! expect_lines ${listed[$case]} || ! cmp "$T/out" "$cache"; then
            failed="$failed $case"
        fi
    done
    [ -z "$failed" ] || {
        echo "failed:$failed"
        return 1
    }
}

@test "a file system that keeps whole seconds gets no record, and its cache replays" {
    is_root || skip "mounting a file system image needs root"
    require mkfs.ext4 "the file system is an ext4 image with 128-byte inodes, made on Linux"
    dd if=/dev/zero of="$T/image" bs=1024 count=4096 2>/dev/null
    mkfs.ext4 -q -F -I 128 "$T/image" >/dev/null 2>&1
    mkdir "$T/coarse"
    mount -o loop "$T/image" "$T/coarse" 2>/dev/null ||
        skip "the image cannot be mounted through a loop device here"
    mounted=$T/coarse
    home=$T/coarse/home cache=$T/coarse/home/.zelto_cache
    mkdir "$home"
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    zp
    expect_lines cat tool
    [ "$(nanoseconds "$cache")" -eq 0 ]
    mark_cache
    zp
    expect_lines replayed
}

@test "a cache that is no regular file is rebuilt, however new" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"

    # cat would wait for ever on a FIFO.
    mkfifo "$cache"
    ZELTO_WRAP="$(command -v timeout) 20 ${ZELTO_WRAP:-}" zp
    expect_lines cat tool
    [ -p "$cache" ]

    rm "$cache"
    mkdir "$cache"
    zp
    expect_failure 'open failed'
    [ -d "$cache" ]
}

@test "a replay prints the cache's bytes unchanged" {
    path=$(sysdir)
    printf 'no newline at the end\n\n\xff\x01 x' >"$cache"
    at "$((OLD + 1))" "$cache"
    zp
    cmp "$cache" "$T/out"
    [ "$status" -eq 0 ]
}

@test "a missing component is ignored until it appears newer" {
    path=$T/later:$(sysdir)
    replayable_cache
    zp
    expect_lines replayed

    mkexe "$T/later" fresh
    zp
    expect_lines cat fresh
}

@test "a component that is a file counts with its own time" {
    : >"$T/file"
    path=$T/file:$(sysdir)
    replayable_cache
    at "$OLD" "$T/file"
    zp
    expect_lines replayed
    at "$((OLD + 200))" "$T/file"
    zp
    expect_lines cat
}

@test "a relative component is dated in HOME, not where the run starts" {
    mkdir "$home/rel" "$T/rel"
    path=rel:$(sysdir)
    replayable_cache
    at "$OLD" "$home/rel"
    at "$((OLD + 5000))" "$T/rel"
    cd "$T"
    zp
    expect_lines replayed

    at "$((OLD + 5000))" "$home/rel"
    zp
    expect_lines cat
}

@test "a PATH with no component finds any cache fresh" {
    for path in "" ":" ":::"; do
        printf 'old\n' >"$cache"
        at "$OLD" "$cache"
        zp
        # Whether cat is found along such a PATH is the system's business;
        # either way the cache is neither rebuilt nor touched.
        if [ "$status" -eq 0 ]; then
            expect_lines old
        else
            expect_failure 'exec failed'
        fi
        printf 'old\n' | cmp - "$cache"
        [ "$(mtime "$cache")" -eq "$OLD" ]
    done
}

# traced_run: runs the binary under strace; the calls it makes itself before
# any exec of cat (those of the loader and of a sanitizer's run-time left
# out) go to $T/calls, one "call "path"" a line.
traced_run() {
    require strace "system calls are counted with Linux's strace"
    env -i HOME="$home" PATH="$path" ASAN_OPTIONS=detect_leaks=0 "$(command -v strace)" -f -qq \
        -e trace=%stat,%file,getdents64,execve -o "$T/trace" "$ZELTO_BIN" >"$T/out"
    sed -n '1,/execve(".*\/cat"/p' "$T/trace" |
        grep -vE '"/(etc|lib|usr/lib|proc)[^"]*"|AT_EMPTY_PATH|^[0-9]+ +execve' |
        sed -E 's/^[0-9]+ +//; s/^([a-z0-9_]+)\((AT_FDCWD, )?("[^"]*").*/\1 \3/' |
        sed -E 's/^(newfstatat|fstatat64|statx|stat64) /stat /' >"$T/calls"
}

@test "a fresh run stats the cache and each component once, and reads no directory" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    path=$T/a::$T/missing:$T/b:$(sysdir)
    replayable_cache
    at "$OLD" "$T/a" "$T/b"

    traced_run
    printf 'replayed\n' | cmp - "$T/out"
    grep -q 'execve(".*/cat"' "$T/trace"
    printf '%s\n' \
        "chdir \"$home\"" \
        'stat ".zelto_cache"' \
        "stat \"$T/a\"" \
        "stat \"$T/missing\"" \
        "stat \"$T/b\"" \
        "stat \"$T/sys\"" | diff -u - "$T/calls"
    ! grep -E 'getdents|O_DIRECTORY' "$T/trace"
}

@test "the first newer component ends the test" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    path=$T/a:$T/b:$(sysdir)
    replayable_cache
    at "$((OLD + 500))" "$T/a"
    at "$OLD" "$T/b"

    traced_run
    printf 'cat\none\ntwo\n' | cmp - "$T/out"
    grep ^stat "$T/calls" >"$T/stats"
    printf '%s\n' 'stat ".zelto_cache"' "stat \"$T/a\"" | diff -u - "$T/stats"
}
