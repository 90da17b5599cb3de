# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian package (cpack -G DEB in a build folder; scripts/package makes
# one from a Release build): the programs in /usr/bin, the codec libraries
# in /usr/lib/<multiarch>/spoolex, the manual pages, the completion and the
# documents, every binary stripped.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME spoolex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpack and create APAK, UPAK and ZPAK pack archives")
# The extended description, as lines of the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "spoolex unpacks a set of packs that share a base name (NAME.APAK audio,"
  "NAME.UPAK stored, NAME.ZPAK deflated) into a directory, restoring audio"
  "entries to their source file's container, encoding, width, rate and"
  "channels. spoolpack creates, extracts, lists and verifies such packs.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "spoolex maintainers <maintainers@spoolex.invalid>" CACHE STRING
    "The package's maintainer, name and e-mail address")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# What the binaries link, found by dpkg-shlibdeps; and the system's codec
# libraries, which the programs load at run time and so link none of: Ogg
# Vorbis and AAC decoding need them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libogg0, libvorbis0a, libvorbisenc2, libfaad2")
include(CPack)
