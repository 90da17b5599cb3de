# The pack reader on arbitrary bytes: OpenPack and NextEntry for every kind,
# unpacking into a scratch directory that is emptied after each input.
# Seeds in corpus/pack/ were made with spoolpack (.UPAK, .ZPAK) and the pack
# writer's AddEntryRecord (.APAK).
spoolex_fuzz_target(pack SOURCE pack_fuzz.cpp DEPS spoolex_pack)
