# Removes the files that the last install from the build tree ${build}
# wrote, as its manifest lists them, under the DESTDIR that install was given
# (recorded absolute), and then each directory of the project's own (named
# zelto_path) that held one of them, once it is empty; never a directory that
# other packages share. The manifest goes last, and only once none of its
# files is left, so that an uninstall that could not remove one can be run
# again.
#   cmake -D build=DIR -P uninstall.cmake
set(manifest "${build}/install_manifest.txt")
if(NOT EXISTS "${manifest}")
  message("zelto_path: nothing was installed from ${build}, so nothing is uninstalled.")
  return()
endif()
set(destdir "")
if(EXISTS "${build}/install_destdir.txt")
  file(READ "${build}/install_destdir.txt" destdir)
endif()
file(STRINGS "${manifest}" files)
set(directories "")
set(remaining "")
foreach(file IN LISTS files)
  set(path "${destdir}${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    list(APPEND remaining "${path}")
  endif()
  get_filename_component(directory "${path}" DIRECTORY)
  get_filename_component(directory_name "${directory}" NAME)
  if(directory_name STREQUAL "zelto_path")
    list(APPEND directories "${directory}")
  endif()
endforeach()
if(remaining)
  list(JOIN remaining "\n  " remaining)
  message(FATAL_ERROR
          "zelto_path: these files could not be removed, so ${manifest} is kept:\n  ${remaining}")
endif()
list(REMOVE_DUPLICATES directories)
foreach(directory IN LISTS directories)
  file(GLOB left "${directory}/*" "${directory}/.*")
  if(IS_DIRECTORY "${directory}" AND NOT IS_SYMLINK "${directory}" AND NOT left)
    message(STATUS "Removing ${directory}")
    file(REMOVE_RECURSE "${directory}")
  endif()
endforeach()
# Done: a second uninstall finds nothing installed.
file(REMOVE "${manifest}" "${build}/install_destdir.txt")
