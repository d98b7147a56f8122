# Makes the source tarball of a release, zelto_path-VERSION.tar.gz, in the
# current directory: the archive of the commit that packaging/releases names
# for VERSION, whatever has been committed since. Writes the port's distinfo
# for it beside it. Where the port's distinfo records another tarball for
# VERSION, it says so in one line and leaves neither.
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
# The tarball is the same whatever the user's or the system's git
# configuration says: the settings that shape it are given here, the
# system's attributes file is not read, and the compression is git's own,
# which every git since 2.38 makes alike (an older one would run the
# system's gzip, whose output differs between systems).
execute_process(
  COMMAND git --version
  OUTPUT_VARIABLE git_version OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "[0-9]+\\.[0-9]+(\\.[0-9]+)?" git_version "${git_version}")
if(git_version VERSION_LESS 2.38)
  message(FATAL_ERROR "zelto_path: dist needs git 2.38 or later, whose own gzip makes the same "
                      "tarball everywhere; this is git ${git_version}.")
endif()
set(ENV{GIT_ATTR_NOSYSTEM} 1)
execute_process(
  COMMAND git -c tar.umask=0002 -c "tar.tar.gz.command=git archive gzip" -c core.autocrlf=false
          -c core.eol=lf -c core.attributesFile=
          archive --format=tar.gz "--prefix=${name}/" -o "${CMAKE_CURRENT_BINARY_DIR}/${tarball}"
          ${commit}
  WORKING_DIRECTORY "${source}"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "git archive failed")
endif()
file(SHA256 "${tarball}" checksum)
file(SIZE "${tarball}" size)
# A release's tarball, once recorded in the port's distinfo, is that one for
# good: one that differs is not written over the record.
file(STRINGS "${source}/packaging/freebsd/distinfo" recorded REGEX "^SHA256 \\(${tarball}\\) = ")
if(recorded)
  string(REGEX REPLACE "^.* = " "" recorded "${recorded}")
  if(NOT recorded STREQUAL checksum)
    file(REMOVE "${tarball}" distinfo)
    # The one shaping that is left to the clone: its own attributes.
    execute_process(
      COMMAND git rev-parse --path-format=absolute --git-path info/attributes
      WORKING_DIRECTORY "${source}"
      OUTPUT_VARIABLE attributes OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(attributes_set FALSE)
    if(EXISTS "${attributes}")
      file(STRINGS "${attributes}" attributes_set REGEX "^[ \t]*[^# \t]")
    endif()
    if(attributes_set)
      set(cause "this clone's own git attributes (${attributes}) are the likely cause")
    else()
      set(cause "this clone sets no git attributes of its own, so git ${git_version} may archive or compress that commit otherwise than the git that recorded it")
    endif()
    message(NOTICE "zelto_path: dist made a ${tarball} other than the one packaging/freebsd/distinfo records; ${cause}.")
    return()
  endif()
endif()
file(WRITE distinfo "TIMESTAMP = ${committed}\nSHA256 (${tarball}) = ${checksum}\nSIZE (${tarball}) = ${size}\n")
message(STATUS "${tarball}: commit ${commit}, SHA256 ${checksum}, ${size} bytes; distinfo beside it")
