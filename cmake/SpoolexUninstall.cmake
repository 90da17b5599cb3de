# SPDX-License-Identifier: GPL-2.0-or-later
# Removes what the last install from this build folder put on the disk:
#   cmake -DMANIFEST=<build>/install_manifest.txt
#         -DDESTDIR_RECORD=<build>/install_destdir.txt -P SpoolexUninstall.cmake
# (the uninstall target). Every file and link the manifest lists goes, under
# the DESTDIR that install was given, and then the project's own folders
# (named spoolex: the codec libraries' and the documents') when nothing else
# is left in them. Other folders stay, even when empty: they may belong to
# the system.
if(NOT EXISTS "${MANIFEST}" OR NOT EXISTS "${DESTDIR_RECORD}")
  message(FATAL_ERROR "Nothing to uninstall: no install from this build folder (${MANIFEST}).")
endif()
file(READ "${DESTDIR_RECORD}" destdir)
file(STRINGS "${MANIFEST}" installed)
set(folders "")
foreach(file ${installed})
  set(file "${destdir}${file}")
  if(IS_SYMLINK "${file}" OR EXISTS "${file}")
    message(STATUS "Removing: ${file}")
    file(REMOVE "${file}")
  else()
    message(STATUS "Already gone: ${file}")
  endif()
  get_filename_component(folder "${file}" DIRECTORY)
  get_filename_component(name "${folder}" NAME)
  if(name STREQUAL "spoolex")
    list(APPEND folders "${folder}")
  endif()
endforeach()
list(REMOVE_DUPLICATES folders)
foreach(folder ${folders})
  file(GLOB left "${folder}/*" "${folder}/.*")
  if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}" AND NOT left)
    message(STATUS "Removing: ${folder}")
    file(REMOVE_RECURSE "${folder}")
  endif()
endforeach()
