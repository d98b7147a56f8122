#!/usr/bin/env bats
# Crashes, concurrency, exhausted resources and hostile input. The figures
# each test prints go to the TAP output.

load common

@test "a rebuild killed at any moment leaves the old cache or the whole new one" {
    stress crash 100
}

@test "runs racing each other and a changing PATH each print a whole listing" {
    stress concurrent 24
}

@test "random trees, PATH strings, caches and mtimes agree with the model" {
    stress model 400
}

# A directory whose listing needs some megabytes: 20,000 names of 200 bytes.
big_directory() {
    mkdir "$T/big"
    "$PYTHON" - "$T/big" <<-'PY'
		import os, sys
		for i in range(20000):
		    name = "%05d" % i + "x" * 195
		    os.close(os.open(os.path.join(sys.argv[1], name), os.O_CREAT | os.O_WRONLY, 0o755))
	PY
    at "$((OLD + 10))" "$T/big"
}

# limited_run KIB: a run under an address-space limit of KIB kibibytes. The
# limit is the binary's own: no ZELTO_WRAP here, as valgrind could not start
# within it.
limited_run() {
    status=0
    (
        ulimit -v "$1"
        exec env -i HOME="$home" PATH="$path" "$ZELTO_BIN"
    ) >"$T/out" 2>"$T/err" || status=$?
}

@test "memory running out ends in the message for that allocation, and nothing is written" {
    big_directory
    printf 'the old cache\n' >"$cache"
    at "$OLD" "$cache"

    if [ "${ZELTO_SANITIZED:-0}" = 1 ]; then
        # The sanitizer's allocator reserves far more address space than any
        # limit would allow: cap single allocations instead.
        zp_env HOME="$home" PATH="$T/big" \
            ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1
        # Less the sanitizer's own warning about the refused allocation.
        grep -v '^==[0-9]*==WARNING: AddressSanitizer failed to allocate' "$T/err" >"$T/message" ||
            true
        mv "$T/message" "$T/err"
        expect_failure 'strdup failed'
        printf 'the old cache\n' | cmp - "$cache"
        return
    fi

    # The least address space in which a run with nothing to list succeeds,
    # in steps of 256 KiB.
    mv "$cache" "$T/old"
    path=
    base=256
    until limited_run "$base" && [ "$status" -eq 0 ]; do
        base=$((base + 256))
        [ "$base" -lt 1048576 ]
    done
    mv "$T/old" "$cache"

    # From there up, each run either lists everything or fails cleanly.
    path=$T/big
    failures=0
    for ((limit = base; ; limit += 256)); do
        limited_run "$limit"
        if [ "$status" -eq 0 ]; then
            [ "$(wc -l <"$T/out")" -eq 20000 ]
            break
        fi
        grep -qxE 'zelto_path: (malloc|strdup) failed' "$T/err"
        [ "$status" -eq 1 ]
        [ ! -s "$T/out" ]
        printf 'the old cache\n' | cmp - "$cache"
        no_temporary_files
        failures=$((failures + 1))
    done
    echo "# limits from $base KiB up in 256 KiB steps: $failures clean failures, then success at $limit KiB" >&3
    [ "$failures" -gt 0 ]
}

@test "a PATH of tens of thousands of components near the size limit of one string" {
    sys=$(sysdir)
    path=$sys
    for ((i = 0; ${#path} < 130000; i++)); do
        path=$path:c$i
    done
    for i in 0 777 5000 17000; do
        mkexe "$home/c$i" "tool$i"
    done
    path=$path:c0:$sys
    zp
    expect_lines cat tool0 tool17000 tool5000 tool777
    cp "$T/out" "$T/listing"

    # Once fresh, the same PATH replays the cache.
    at "$OLD" "$home"/c*
    zp
    cmp "$T/listing" "$T/out"
    echo "# $(tr ':' '\n' <<<"$path" | wc -l) components, ${#path} bytes" >&3
}

@test "a directory of 200,000 entries" {
    mkdir "$T/huge"
    "$PYTHON" - "$T/huge" <<-'PY'
		import os, sys
		for i in range(200000):
		    mode = 0o755 if i % 3 else 0o644
		    os.close(os.open(os.path.join(sys.argv[1], "e%06d" % ((i * 7919) % 200000)),
		                     os.O_CREAT | os.O_WRONLY, mode))
	PY
    path=$T/huge
    zp
    [ "$status" -eq 0 ]
    (cd "$T/huge" && find . -type f -perm -u+x | sed 's|^\./||' | LC_ALL=C sort) | cmp - "$T/out"
    cmp "$T/out" "$cache"
    echo "# $(wc -l <"$T/out") of 200000 entries listed" >&3
}
