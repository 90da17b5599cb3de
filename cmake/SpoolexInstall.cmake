# SPDX-License-Identifier: GPL-2.0-or-later
# The install: where the programs, the codec libraries and the documents go,
# and how the programs find the codec libraries in the build tree and once
# installed.
#
# A run path element that is empty or relative names a folder under the
# working directory: a library planted there would be loaded by the programs
# (its constructor runs at the load) ahead of the real one. So no binary of
# this project, built or installed, carries such an element: the build tree's
# are absolute, the install's start with $ORIGIN (the folder of the binary).

include(GNUInstallDirs)

foreach(dir CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} must be relative to the prefix (it is ${${dir}}): "
                        "the installed programs find the codec libraries relative to themselves.")
  endif()
endforeach()

# The codec libraries' private folder: <prefix>/lib/<multiarch>/spoolex on
# Debian, whatever the prefix, so a package and a tree under /opt have one
# shape (GNUInstallDirs gives the multiarch folder for the prefix /usr only).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(SPOOLEX_CODEC_INSTALL_DIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}/spoolex")
else()
  set(SPOOLEX_CODEC_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/spoolex")
endif()
file(RELATIVE_PATH codec_dir_from_bin "/${CMAKE_INSTALL_BINDIR}" "/${SPOOLEX_CODEC_INSTALL_DIR}")
set(SPOOLEX_INSTALL_RUN_PATH "$ORIGIN/${codec_dir_from_bin}")

# In the build tree the codec libraries of this project land in one folder,
# which every executable's run path names (tests and benchmarks included).
set(SPOOLEX_CODEC_BUILD_DIR "${CMAKE_BINARY_DIR}/codecs")
set(CMAKE_BUILD_RPATH "${SPOOLEX_CODEC_BUILD_DIR}")
# dlopen() consults DT_RUNPATH of the executable, so a run path is enough.
add_link_options(-Wl,--enable-new-dtags)

option(SPOOLEX_INSTALL_STRIP "Strip the programs and libraries as they are installed" ON)
if(SPOOLEX_INSTALL_STRIP)
  # The first install rule, so it holds for every later one.
  install(CODE "set(CMAKE_INSTALL_DO_STRIP 1)")
endif()
# What is installed is what users run: a Release build (scripts/install
# and scripts/package make one in build-release).
install(CODE "if(NOT CMAKE_INSTALL_CONFIG_NAME STREQUAL \"Release\")
  message(WARNING \"Installing a \${CMAKE_INSTALL_CONFIG_NAME} build; scripts/install installs a Release one.\")
endif()")
# install_manifest.txt lists the installed files without DESTDIR: the
# install keeps the DESTDIR it was given beside it, so the uninstall removes
# the files it put there, not those of the same names under /.
install(CODE "file(WRITE \"${PROJECT_BINARY_DIR}/install_destdir.txt\" \"\$ENV{DESTDIR}\")")
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
          -DDESTDIR_RECORD=${PROJECT_BINARY_DIR}/install_destdir.txt
          -P ${PROJECT_SOURCE_DIR}/cmake/SpoolexUninstall.cmake
  VERBATIM)

# spoolex_install_program(<target>)
#   Installs an executable that loads the codec libraries to <prefix>/bin,
#   with the run path $ORIGIN/../lib/<multiarch>/spoolex.
#
#   CMake would link an installed target with the build run path followed by
#   a ':' (and more of them, to leave room for the longer install run path
#   that it writes over it at install): an empty element, the working
#   directory. Here the target is linked with the build folder padded to that
#   length by "/." steps, which name the same folder, and the install writes
#   its run path over that string in place.
function(spoolex_install_program target)
  set(build_path "${SPOOLEX_CODEC_BUILD_DIR}")
  string(LENGTH "${build_path}" have)
  string(LENGTH "${SPOOLEX_INSTALL_RUN_PATH}" need)
  while(have LESS need)
    string(APPEND build_path "/.")
    math(EXPR have "${have} + 2")
  endwhile()
  set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${build_path}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>")
  install(CODE "file(RPATH_CHANGE FILE \"${installed}\"
                     OLD_RPATH \"${build_path}\" NEW_RPATH \"${SPOOLEX_INSTALL_RUN_PATH}\")")
endfunction()

# spoolex_install_codec_library(<target>)
#   Installs one of the project's codec libraries to the private folder. They
#   link nothing of the project, so they carry no run path at all; their
#   soname is their file name, the bare name the programs load them by.
function(spoolex_install_codec_library target)
  set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON INSTALL_RPATH "")
  install(TARGETS ${target} LIBRARY DESTINATION ${SPOOLEX_CODEC_INSTALL_DIR})
endfunction()
