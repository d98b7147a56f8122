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

@test "a cache that cannot be written whole leaves the old one as it was" {
    mkexe "$T/bin" $(seq -f 'command%g' 1 400)
    path=$T/bin
    printf 'the old cache\n' >"$cache"
    at "$OLD" "$cache"

    # 1 KiB is far less than the listing; SIGXFSZ ignored turns the limit
    # into a failed write.
    status=0
    (
        trap '' XFSZ
        ulimit -f 1
        exec env -i HOME="$home" PATH="$path" ${ZELTO_WRAP:-} "$ZELTO_BIN"
    ) >"$T/out" 2>"$T/err" || status=$?
    expect_failure 'write failed'
    printf 'the old cache\n' | cmp - "$cache"
    no_temporary_files
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
