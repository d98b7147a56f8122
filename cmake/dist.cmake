# Makes the source tarball of a release, zelto_path-VERSION.tar.gz, in the
# current directory: the archive of the commit that packaging/releases names
# for VERSION, whatever has been committed since. Writes the port's distinfo
# for it beside it.
#   cmake -D source=DIR -D version=1.0.0 -P dist.cmake
set(name "zelto_path-${version}")
set(tarball "${name}.tar.gz")
file(STRINGS "${source}/packaging/releases" releases REGEX "^${version} ")
if(NOT releases)
  message(FATAL_ERROR "Version ${version} has not been released: packaging/cut-release ${version} "
                      "cuts it.")
endif()
string(REPLACE " " ";" release "${releases}")
list(GET release 1 commit)
execute_process(
  COMMAND git log -1 --format=%ct ${commit}
  WORKING_DIRECTORY "${source}"
  OUTPUT_VARIABLE committed OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "The tarball is made from git: ${source} is no git checkout that holds "
                      "${commit}.")
endif()
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
