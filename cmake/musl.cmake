# Toolchain: clang++ with libc++'s headers, linked statically against musl
# (Debian: musl-tools, clang, libc++-dev). musl's start-up does next to
# nothing, which makes the replay of a fresh cache barely dearer than cat
# itself. The program needs no C++ run-time library, only libc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER clang++)

set(musl_lib /usr/lib/x86_64-linux-musl)
set(musl_include /usr/include/x86_64-linux-musl)
execute_process(COMMAND clang++ -print-resource-dir
                OUTPUT_VARIABLE clang_resources OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND gcc -print-file-name=crtbeginT.o
                OUTPUT_VARIABLE crt_begin OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND gcc -print-file-name=crtend.o
                OUTPUT_VARIABLE crt_end OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND gcc -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)

set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc -nostdinc++ -D_LIBCPP_HAS_MUSL_LIBC \
     -isystem ${clang_resources}/../../../include/c++/v1 \
     -isystem ${clang_resources}/include -isystem ${musl_include}")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wno-unused-command-line-argument -static -nostdlib ${musl_lib}/crt1.o ${musl_lib}/crti.o ${crt_begin}")
set(CMAKE_CXX_STANDARD_LIBRARIES "-L${musl_lib} -lc ${libgcc} ${crt_end} ${musl_lib}/crtn.o")
