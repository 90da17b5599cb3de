// SPDX-License-Identifier: GPL-2.0-or-later
// democlips <folder>
//
// Writes the demo's short audio clips, synthesised here, through the audio
// stream layer: tones, a chirp, a bell and a stereo sweep in a few
// containers, bit widths, rates and channel counts. Exit status 0, or 1 when
// a clip cannot be written.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "audio/stream/audio_stream.h"

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;

struct Clip {
  const char* name;
  uint32_t format;
  uint32_t bits;
  uint32_t channels;
  uint32_t rate;
  double seconds;
  // The value of channel c at time t, within -1 .. 1.
  std::function<double(double t, uint32_t c)> signal;
};

// Fades the first and last 20 ms in and out, so no clip starts with a click.
double Fade(double t, double seconds) { return std::min({1.0, t / 0.02, (seconds - t) / 0.02}); }

bool WriteClip(const std::string& folder, const Clip& clip) {
  const std::string path = folder + "/" + clip.name;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  AudioInfo info;
  info.format = clip.format;
  info.pcmbitwidth = clip.bits;
  info.channels = clip.channels;
  info.samplerate = clip.rate;
  const auto frames = static_cast<uint32_t>(clip.seconds * clip.rate);
  // Samples below 16 bits cross the layer on their own scale.
  const double scale = clip.bits < 16 ? std::ldexp(1.0, static_cast<int>(clip.bits) - 1) - 1 : 32767;
  std::vector<int16_t> samples(size_t{frames} * clip.channels);
  for (uint32_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / clip.rate;
    for (uint32_t c = 0; c < clip.channels; ++c) {
      samples[size_t{f} * clip.channels + c] =
          static_cast<int16_t>(std::lround(0.7 * scale * Fade(t, clip.seconds) * clip.signal(t, c)));
    }
  }
  WriteStreamPtr stream(OpenFileWrite(path.c_str(), &info));
  int error = stream ? 0 : LastError();
  const auto count = static_cast<int64_t>(samples.size());
  if (stream && WriteShorts(stream.get(), samples.data(), count) != count) {
    error = StreamError(stream.get());
    if (error == 0) error = kErrorShortWrite;
  }
  if (stream && error == 0) error = CloseStream(stream.release());
  if (error != 0) {
    std::fprintf(stderr, "democlips: cannot write %s: %s\n", path.c_str(), ErrorReason(error).c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: democlips <folder>\n");
    return 2;
  }
  const Clip clips[] = {
      {"sfx/tone.wav", FMT_WAV | FMT_PCM, 16, 1, 22050, 1.0,
       [](double t, uint32_t) { return std::sin(kTwoPi * 440 * t); }},
      {"sfx/chirp8.wav", FMT_WAV | FMT_PCM, 8, 1, 11025, 0.8,
       [](double t, uint32_t) { return std::sin(kTwoPi * (200 * t + 1750 * t * t)); }},  // 200 to 3000 Hz
      {"sfx/bell.au", FMT_AU | FMT_PCM, 16, 1, 8000, 1.2,
       [](double t, uint32_t) {
         double v = 0;
         for (double partial : {1.0, 2.76, 5.4}) v += std::exp(-3 * partial * t) * std::sin(kTwoPi * 520 * partial * t);
         return v / 2;
       }},
      {"music/sweep.aiff", FMT_AIFF | FMT_PCM, 16, 2, 44100, 2.0,
       [](double t, uint32_t c) {  // left rises from 100 Hz, right falls from 4 kHz
         const double f0 = c == 0 ? 100 : 4000, f1 = c == 0 ? 4000 : 100;
         return std::sin(kTwoPi * (f0 * t + (f1 - f0) * t * t / 4));
       }},
      {"music/theme.wav", FMT_WAV | FMT_PCM, 16, 2, 48000, 3.0,
       [](double t, uint32_t c) {  // four notes, a little different in each ear
         const double notes[] = {261.63, 329.63, 392.0, 523.25};
         const double note = notes[static_cast<int>(t * 4 / 3 + c) % 4];
         double v = 0;
         for (int h = 1; h <= 3; ++h) v += std::sin(kTwoPi * note * h * t) / h;
         return v * std::exp(-2 * std::fmod(t, 0.75)) / 1.8;
       }},
  };
  for (const Clip& clip : clips) {
    if (!WriteClip(argv[1], clip)) return 1;
  }
  return 0;
}
