// SPDX-License-Identifier: GPL-2.0-or-later
// A library planted in the working directory under the codec libraries'
// names: loading it leaves a marker file there, which the tests look for.
// The programs must never load it.
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void MarkLoaded(void) {
  const int fd = open("planted-library-loaded", O_WRONLY | O_CREAT, 0600);
  if (fd >= 0) close(fd);
}
