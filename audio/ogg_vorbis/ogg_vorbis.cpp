#include "audio/ogg_vorbis/ogg_vorbis.h"

// Not built yet: report the Ogg library as unavailable.
int OggVorbisOpenRead(AudioStream&) { return 84; }
int OggVorbisOpenWrite(AudioStream&) { return 84; }
