# SPDX-License-Identifier: GPL-2.0-or-later
# The pack writer, then the reader, on arbitrary trees of names and bytes:
# every file comes back whole from a Stored and a Deflated pack, and a bit
# flipped in one entry's data fails that entry alone.
spoolex_fuzz_target(pack_roundtrip SOURCE pack_roundtrip_fuzz.cpp DEPS spoolex_pack)
