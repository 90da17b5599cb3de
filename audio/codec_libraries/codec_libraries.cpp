#include "audio/codec_libraries/codec_libraries.h"

void UnloadCodecLibraries() {}
