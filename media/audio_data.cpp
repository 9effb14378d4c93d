#include "media/audio_data.h"

#include "media/byte_order.h"

namespace orvi::media {

using detail::Num;

Status CheckDsdAudio(const DsdAudio& audio, uint16_t maxChannels) {
  if (audio.channels < 1 || audio.channels > maxChannels) {
    return Status::Fail("channel count " + Num(audio.channels) + " is outside 1.." + Num(maxChannels));
  }
  if (!detail::IsAcceptedDsdRate(audio.dsdRate)) {
    return Status::Fail("DSD rate " + Num(audio.dsdRate) + " is not a multiple of " + Num(kDsdBaseRate) + " up to " +
                        Num(kMaxDsdRate));
  }
  if (audio.channelBytes.size() != audio.channels) {
    return Status::Fail("channel byte streams: " + Num(audio.channelBytes.size()) + " for " + Num(audio.channels) +
                        " channels");
  }
  const uint64_t bytes = audio.sampleCount / 8 + (audio.sampleCount % 8 != 0);
  for (size_t c = 0; c < audio.channelBytes.size(); ++c) {
    if (audio.channelBytes[c].size() != bytes) {
      return Status::Fail("channel " + Num(c) + " holds " + Num(audio.channelBytes[c].size()) + " bytes; sample count " +
                          Num(audio.sampleCount) + " needs " + Num(bytes));
    }
  }
  return Status::Ok();
}

}  // namespace orvi::media
