# Makes the source tarball ${name}.tar.gz in the current directory from the
# newest commit that changed a file it ships: a commit that records only the
# tarball's checksum leaves it as it was, so the tarball, its checksum and
# the port can agree. Writes the port's distinfo for it beside it.
#   cmake -D source=DIR -D name=zelto_path-1.0.0 -P dist.cmake
set(tarball "${name}.tar.gz")
execute_process(
  COMMAND git log -1 --format=%H%n%ct -- . ":(exclude)packaging/freebsd/distinfo"
  WORKING_DIRECTORY "${source}"
  OUTPUT_VARIABLE newest OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE failed)
if(failed OR newest STREQUAL "")
  message(FATAL_ERROR "The tarball is made from git: ${source} is no git checkout.")
endif()
string(REPLACE "\n" ";" newest "${newest}")
list(GET newest 0 commit)
list(GET newest 1 committed)
execute_process(
  COMMAND git archive --format=tar.gz "--prefix=${name}/" -o "${CMAKE_CURRENT_BINARY_DIR}/${tarball}"
          ${commit}
  WORKING_DIRECTORY "${source}"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "git archive failed")
endif()
file(SHA256 "${tarball}" checksum)
file(SIZE "${tarball}" size)
file(WRITE distinfo "TIMESTAMP = ${committed}\nSHA256 (${tarball}) = ${checksum}\nSIZE (${tarball}) = ${size}\n")
message(STATUS "${tarball}: commit ${commit}, SHA256 ${checksum}, ${size} bytes; distinfo beside it")
