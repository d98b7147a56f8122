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
    ln -s loop "$T/loop"
    for home in "" "$T/missing" "$T/file" "$T/loop"; do
        zp
        expect_failure 'chdir failed'
    done

    home=$T/locked
    mkdir -m 000 "$home"
    zp_as_user
    expect_failure 'chdir failed'
}

@test "whatever stands in the cache's way costs only the cache" {
    mkexe "$T/bin" tool
    path=$T/bin
    own_home
    # What stands in the way, and the line that says so. The runs are an
    # ordinary user's, whom a home that may not be written stops.
    while IFS='|' read -r case message; do
        rm -rf "$cache"
        chmod 755 "$home"
        case $case in
        directory)
            mkdir "$cache"
            at "$OLD" "$cache" ;;
        read_only) chmod 555 "$home" ;;
        dangling_link) ln -s missing/cache "$cache" ;;
        loop) ln -s .zelto_cache "$cache" ;;
        esac
        # A run that follows links without end is stopped.
        bounded zp_as_user
        expect_said 0 "$message" tool
        no_temporary_files
        case $case in
        directory) [ -d "$cache" ] ;;
        read_only) [ ! -e "$cache" ] ;;
        dangling_link) [ -L "$cache" ] && [ ! -e "$home/missing" ] ;;
        loop) [ "$(ls -A "$home")" = .zelto_cache ] && [ -L "$cache" ] ;;
        esac
    done <<-'CASES'
		directory|cache not written: a directory is in its place
		read_only|cache not written: its directory may not be written
		dangling_link|cache not written: no directory to hold it
		loop|cache not written: no directory to hold it
	CASES
}

@test "a fresh cache with no cat along PATH is printed all the same" {
    mkexe "$T/bin" tool
    path=$T/bin
    printf 'replayed\n' >"$cache"
    at "$OLD" "$T/bin"
    at "$LATER" "$cache"
    zp
    expect_lines replayed
    [ "$(mtime "$cache")" -eq "$LATER" ]
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

# not_kept MESSAGE [OLD]: the run printed the whole listing of $T/bin, 400
# commands, exited 0 and said MESSAGE on standard error; the cache is OLD as
# it was, or else missing, and no temporary file is left.
not_kept() {
    seq -f 'command%g' 1 400 | LC_ALL=C sort | cmp - "$T/out"
    [ "$status" -eq 0 ]
    printf 'zelto_path: %s\n' "$1" | diff -u - "$T/err"
    shift
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
            not_kept 'cache not written' ${old:+"$old"}
        done
    done
}

@test "a call that fails while the cache is stored costs only the cache, and leaves no file" {
    require_strace
    mkexe "$T/bin" $(seq -f 'command%g' 1 400)
    path=$T/bin
    # The call, the error injected into it, and the line on standard error.
    while read -r call error message; do
        printf 'the old cache\n' >"$cache"
        at "$OLD" "$cache"
        calls=$call when=
        [ "$call" != open ] || read -r calls when < <(open_call '\.tmp", O_WRONLY')
        when=${when:+:when=$when}
        zp_strace -e trace="$calls" -e inject="$calls:error=$error$when"
        not_kept "$message" 'the old cache'
    done <<-'CASES'
		open EIO cache not written
		open EACCES cache not written: its directory may not be written
		open EROFS cache not written: its directory may not be written
		renameat,renameat2 EIO cache not written
		renameat,renameat2 EBUSY cache not written: it cannot be replaced
		renameat,renameat2 EXDEV cache not written: it cannot be replaced
		renameat,renameat2 EPERM cache not written: it cannot be replaced
		fsync EINVAL cache not written
		fsync EROFS cache not written
		utimensat EPERM cache not written
	CASES
}

@test "each rebuild names its temporary file anew" {
    require_strace
    mkexe "$T/bin" tool
    path=$T/bin
    for run in 1 2; do
        zp_strace -e trace=open,openat
        expect_lines tool
        sed -n 's/.*"\(\.zelto_cache\..*\.tmp\)", O_WRONLY.*/\1/p' "$T/trace" >"$T/name$run"
        [ "$(wc -l <"$T/name$run")" -eq 1 ]
    done
    ! cmp -s "$T/name1" "$T/name2"
}

@test "a signal while the cache is stored acts once the new cache is in place" {
    require_strace
    mkexe "$T/bin" $(seq -f 'command%g' 1 400)
    path=$T/bin
    printf 'the old cache\n' >"$cache"
    at "$OLD" "$cache"
    # SIGTERM comes while the new cache is flushed to disk.
    terminate() {
        kill -TERM "$(sed -n 's/^\([0-9][0-9]*\) *fsync(.*/\1/p' "$T/trace")"
    }
    zp_held fsync 1 delay_enter 'fsync\(' terminate
    [ "$status" -eq 143 ]
    seq -f 'command%g' 1 400 | LC_ALL=C sort | cmp - "$cache"
    no_temporary_files
}

@test "a replay whose read fails part way says so, and prints nothing twice" {
    require_strace
    mkexe "$T/bin" tool
    # No cat along PATH: the run prints the cache itself, a buffer at a time.
    path=$T/bin
    at "$OLD" "$T/bin"
    seq -f 'line%06g' 1 20000 >"$cache"
    at "$LATER" "$cache"
    zp_strace -P "$cache" -e trace=read -e inject=read:error=EIO:when=2
    printf 'zelto_path: read failed\n' | diff -u - "$T/err"
    [ "$status" -eq 1 ]
    head -c 65536 "$cache" | cmp - "$T/out"
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
    not_kept 'cache not written' 'the old cache'
    rm "$cache"
    zp
    not_kept 'cache not written'
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
