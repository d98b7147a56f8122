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

@test "a cache that is no regular file is rebuilt, however new" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"

    # cat would wait for ever on a FIFO.
    mkfifo "$cache"
    ZELTO_WRAP="$(command -v timeout) 20 ${ZELTO_WRAP:-}" zp
    expect_lines cat tool
    [ -f "$cache" ]
    cmp "$T/out" "$cache"

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
