#!/usr/bin/env bats
# The failure line, its messages and exit status, and what a failed run
# leaves behind.

load common

@test "HOME is looked up first, then PATH" {
    zp_env
    expect_failure 'no $HOME'

    zp_env PATH=/bin
    expect_failure 'no $HOME'

    zp_env HOME="$home"
    expect_failure 'no $PATH'
}

@test "a HOME that cannot be entered fails before anything is written" {
    : >"$T/file"
    for home in "" "$T/missing" "$T/file"; do
        zp
        expect_failure 'chdir failed'
    done

    home=$T/locked
    mkdir -m 000 "$home"
    zp_as_user
    expect_failure 'chdir failed'
}

@test "a cache that cannot be replaced fails with nothing written" {
    mkexe "$T/bin" tool
    path=$T/bin

    # A directory stands where the cache belongs, older than PATH.
    mkdir "$cache"
    at "$OLD" "$cache"
    zp
    expect_failure 'open failed'
    [ -d "$cache" ]
    no_temporary_files

    # A home directory that an ordinary user may not write to.
    rmdir "$cache"
    chmod 555 "$home"
    zp_as_user
    expect_failure 'open failed'
    [ ! -e "$cache" ]
}

@test "a fresh cache with no cat along PATH fails to replay" {
    mkexe "$T/bin" tool
    path=$T/bin
    printf 'tool\n' >"$cache"
    at "$OLD" "$T/bin"
    at "$LATER" "$cache"
    zp
    expect_failure 'exec failed'
    [ "$(cat "$cache")" = tool ]
}

@test "standard output that cannot be written fails after the cache is complete" {
    mkexe "$T/bin" one two
    path=$T/bin
    # Standard output appends to a file already past a size limit that the
    # small cache stays well within; SIGXFSZ ignored turns the limit into a
    # failed write.
    head -c 4096 /dev/zero >"$T/full"
    status=0
    (
        trap '' XFSZ
        ulimit -f 2
        exec env -i HOME="$home" PATH="$path" ${ZELTO_WRAP:-} "$ZELTO_BIN"
    ) >>"$T/full" 2>"$T/err" || status=$?
    printf 'zelto_path: write failed\n' | diff -u - "$T/err"
    [ "$status" -eq 1 ]
    [ "$(wc -c <"$T/full")" -eq 4096 ]
    printf 'one\ntwo\n' | cmp - "$cache"
}

# not_kept [OLD]: the run printed the whole listing of $T/bin, 400 commands,
# exited 0 and said on standard error that the cache was not written; the
# cache is OLD as it was, or else missing, and no temporary file is left.
not_kept() {
    seq -f 'command%g' 1 400 | LC_ALL=C sort | cmp - "$T/out"
    [ "$status" -eq 0 ]
    printf 'zelto_path: cache not written\n' | diff -u - "$T/err"
    if [ "$#" -eq 0 ]; then
        [ ! -e "$cache" ]
    else
        printf '%s\n' "$1" | cmp - "$cache"
    fi
    no_temporary_files
}

@test "a cache beyond the file-size limit costs only the cache" {
    mkexe "$T/bin" $(seq -f 'command%g' 1 400)
    path=$T/bin
    # SIGXFSZ ignored, as by a careful caller, or as a shell's ulimit leaves
    # it; with an old cache and without one.
    for disposition in SIG_IGN SIG_DFL; do
        for old in 'the old cache' ''; do
            rm -f "$cache"
            if [ -n "$old" ]; then
                printf '%s\n' "$old" >"$cache"
                at "$OLD" "$cache"
            fi
            # 1 KiB is far less than the listing. Standard output is a pipe,
            # which the limit leaves alone.
            (
                ulimit -f 1
                status=0
                env -i HOME="$home" PATH="$path" "$PYTHON" -c 'import os, signal, sys
signal.signal(signal.SIGXFSZ, getattr(signal, sys.argv[1]))
os.execv(sys.argv[2], sys.argv[2:])' "$disposition" ${ZELTO_WRAP:-} "$ZELTO_BIN" 2>"$T/err" ||
                    status=$?
                echo "$status" >"$T/status"
            ) | cat >"$T/out"
            status=$(cat "$T/status")
            not_kept ${old:+"$old"}
        done
    done
}

@test "a call that fails while the cache is stored costs the cache, or the run, and leaves no file" {
    require_strace
    mkexe "$T/bin" $(seq -f 'command%g' 1 400)
    path=$T/bin
    # The call, the error injected into it, and the line on standard error:
    # the listing is printed where the cache cannot be kept, and the run fails
    # otherwise.
    while read -r call error message; do
        printf 'the old cache\n' >"$cache"
        at "$OLD" "$cache"
        calls=$call when=
        [ "$call" != open ] || read -r calls when < <(open_call '\.tmp", O_WRONLY')
        when=${when:+:when=$when}
        zp_strace -e trace="$calls" -e inject="$calls:error=$error$when"
        if [ "$message" = "cache not written" ]; then
            not_kept 'the old cache'
        else
            expect_failure "$message"
            printf 'the old cache\n' | cmp - "$cache"
            no_temporary_files
        fi
    done <<-'CASES'
		open EIO cache not written
		rename EIO cache not written
		fsync EINVAL write failed
	CASES
}

# bats test_tags=root
@test "a cache in a full home costs only the cache" {
    mkexe "$T/bin" $(seq -f 'command%g' 1 400)
    path=$T/bin
    mount_image "$T/full" tmpfs
    home=$T/full cache=$T/full/.zelto_cache
    printf 'the old cache\n' >"$cache"
    at "$OLD" "$cache"
    dd if=/dev/zero of="$T/full/filler" bs=65536 2>/dev/null || true
    zp
    not_kept 'the old cache'
    rm "$cache"
    zp
    not_kept
}

@test "memory running out while a directory is opened ends the run" {
    mkexe "$T/bin" tool
    path=$T/bin
    printf 'the old cache\n' >"$cache"
    at "$OLD" "$cache"
    zp_strace -P "$T/bin" -e trace=open,openat -e inject=open,openat:error=ENOMEM
    expect_failure 'malloc failed'
    printf 'the old cache\n' | cmp - "$cache"
}

@test "arguments change nothing" {
    mkexe "$T/bin" tool
    path=$T/bin
    zp
    expect_lines tool
    rm "$cache"
    zp -x --help extra
    expect_lines tool
}
