#include "asio/stream_table.h"

#include <ksmedia.h>

#include <algorithm>

namespace orvi {

namespace {

void ResetPackets(PinSlot& slot) {
  for (StreamPacket& packet : slot.packets) {
    HANDLE event = packet.overlapped.hEvent;  // the driver object's, set once
    packet = StreamPacket{};
    packet.overlapped.hEvent = event;
    packet.header.Size = sizeof(KSSTREAM_HEADER);
    packet.header.PresentationTime.Numerator = 1;
    packet.header.PresentationTime.Denominator = 1;
  }
}

bool RangeCovers(const KSDATARANGE_AUDIO& range, uint32_t rate, uint32_t bits) {
  return IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) && range.MinimumBitsPerSample <= bits &&
         bits <= range.MaximumBitsPerSample && range.MinimumSampleFrequency <= rate &&
         rate <= range.MaximumSampleFrequency;
}

}  // namespace

void BuildEmptyStreamTable(StreamTable& table, uint32_t rate) {
  table.bValid = 1;
  table.nRate = rate;
  table.nTotalChannels = 0;
  table.nPins = 0;
  table.dwOpenPinMask = 0;
  table.nChannels = 0;
}

void BuildStreamTable(StreamTable& table, uint32_t rate, uint32_t bits, const KsList<CKsPin>& pins) {
  BuildEmptyStreamTable(table, rate);
  table.bValid = 0;
  for (CKsPin* pin : pins) {
    if (table.nPins >= kMaxPinSlots) break;
    PinSlot& slot = table.pins[table.nPins];
    slot.bViable = 0;
    slot.nMaxChannels = 0;
    // The filters of this driver hold audio pins only.
    auto* audioPin = static_cast<CKsAudPin*>(pin);
    for (KSDATARANGE_AUDIO* range : audioPin->m_listDataRange) {
      if (!RangeCovers(*range, rate, bits)) continue;
      slot.nMaxChannels = std::max<uint32_t>(slot.nMaxChannels, range->MaximumChannels);
      slot.bViable = 1;
    }
    if (!slot.bViable) continue;

    slot.pPin = audioPin;
    slot.bInUse = slot.bOpen = 0;
    slot.nOpenChannels = slot.nPacketFrames = 0;
    ResetPackets(slot);
    // A table holds 64 channels; a pin that would overflow it keeps the ones
    // that fit, so the counts always match the slots.
    const uint32_t fit = std::min(slot.nMaxChannels, kMaxChannelSlots - table.nChannels);
    for (uint32_t i = 0; i < fit; ++i) {
      ChannelSlot& channel = table.channels[table.nChannels + i];
      channel = ChannelSlot{};
      channel.bPresent = 1;
      channel.nIndexInPin = i;
      channel.pPinSlot = &slot;
    }
    table.bValid = 1;
    table.nPins += 1;
    table.nChannels += fit;
    table.nTotalChannels += fit;
  }
}

WAVEFORMATEXTENSIBLE StreamWaveFormat(uint32_t channels, uint32_t rate, uint32_t bits) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = static_cast<WORD>(channels);
  format.Format.nSamplesPerSec = rate;
  format.Format.wBitsPerSample = static_cast<WORD>(bits);
  format.Format.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
  format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * rate;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
  switch (channels) {
    case 4:
      format.dwChannelMask = 0x33;
      break;
    case 6:
      format.dwChannelMask = 0x3F;
      break;
    case 8:
      format.dwChannelMask = 0x63F;
      break;
    default:
      format.dwChannelMask = 0x3;
      break;
  }
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return format;
}

}  // namespace orvi
