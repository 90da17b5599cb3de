// The Ogg Vorbis format module (FMT_OGG).
#pragma once

#include "audio/stream/stream_module.h"

// Module opens for the stream layer's table; each returns 0 or an error number.
int OggVorbisOpenRead(AudioStream& stream);
int OggVorbisOpenWrite(AudioStream& stream);
