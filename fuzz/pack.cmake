# SPDX-License-Identifier: GPL-2.0-or-later
# The pack reader on arbitrary bytes: OpenPack and NextEntry for every kind,
# unpacking into a scratch directory that is emptied after each input.
# Seeds in corpus/pack/ were made with spoolpack (.UPAK, .ZPAK, clip.APAK: a
# 100-frame 8-bit WAV kept as it is) and the pack writer's AddEntryRecord
# (audio.APAK); trailer.UPAK and trailer.ZPAK end with the checksum trailer.
spoolex_fuzz_target(pack SOURCE pack_fuzz.cpp DEPS spoolex_pack)
