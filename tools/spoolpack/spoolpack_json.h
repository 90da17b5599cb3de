// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack list --json: one JSON object per entry, for scripts.
#pragma once

#include <string>
#include <string_view>

#include "pack/pack.h"

// `text` as a JSON string with its quotes. Valid UTF-8 is kept; every byte
// that is not part of it becomes \udcXX (XX its value), as Python's
// "surrogateescape" reads it, so the name's bytes can be had back exactly.
[[nodiscard]] std::string JsonString(std::string_view text);

// One entry of a `kind` pack as one line of JSON (no newline): kind, name
// ('/'-separated, as under a destination), dataOffset, packedSize,
// unpackedSize (null for audio entries), and for audio entries the packed
// stream's format and every field of the stored description.
[[nodiscard]] std::string EntryJson(PackKind kind, const DirectoryEntry& entry);
