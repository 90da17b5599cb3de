// The coding modes of the project's TwinVQ libraries, as the fuzz targets
// pick them: a VQF header's rate and bit-rate codes (kbit/s per channel) and
// the rate in Hz, each mono or stereo. The one place the targets read them.
#pragma once

#include <cstdint>

struct TvqFuzzMode {
  int kilohertz, kbps;  // header codes; kbit/s per channel
  uint32_t rate;        // Hz
};

inline constexpr TvqFuzzMode kTvqFuzzModes[] = {{8, 8, 8000},    {11, 10, 11025}, {11, 16, 11025},
                                                {22, 20, 22050}, {22, 24, 22050}, {22, 32, 22050},
                                                {44, 40, 44100}, {44, 48, 44100}};
inline constexpr int kTvqFuzzModeCount = sizeof kTvqFuzzModes / sizeof kTvqFuzzModes[0];
