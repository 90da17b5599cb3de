// SPDX-License-Identifier: GPL-2.0-or-later
// SOURCE_DATE_EPOCH, the reproducible-builds convention for the time that
// outputs record.
#include <cerrno>
#include <cstdlib>

#include "audio/stream/stream_module.h"

bool SourceDateEpoch(uint64_t* seconds) {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || *epoch < '0' || *epoch > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(epoch, &end, 10);
  if (*end != '\0' || errno != 0) return false;
  *seconds = value;
  return true;
}
