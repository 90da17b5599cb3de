// Audio entry restoration. The audio stream layer that decodes packed streams
// is not linked in yet, so no packed stream can be opened: every Audio entry
// yields -4 and no file is written.
#include "pack/audio_entry.h"

#include "pack/pack.h"

int RestoreAudioEntry(const std::string& outputPath, const AudioInfo& storedInfo, platform::File& packFile,
                      const char* entryName, uint32_t packedSize, uint32_t* unpackedSize, uint32_t streamFormat) {
  (void)outputPath;
  (void)storedInfo;
  (void)packFile;
  (void)entryName;
  (void)packedSize;
  (void)streamFormat;
  *unpackedSize = 0;
  return kPackAudioFailed;
}
