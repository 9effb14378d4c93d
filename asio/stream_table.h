#pragma once
// Which KS pins and channels serve one direction at one rate. The driver object
// holds one table per direction and entry of the rate table, built once at
// init at the bit depth chosen then.
#include <windows.h>
#include <ks.h>

#include <cstdint>

#include "ks/ks_aud_pin.h"

namespace orvi {

inline constexpr uint32_t kMaxPinSlots = 3;
inline constexpr uint32_t kMaxChannelSlots = 64;
inline constexpr uint32_t kPacketsPerPin = 8;

enum StreamDirection : uint32_t { kRender = 0, kCapture = 1, kDirections = 2 };

// One KS stream packet: the header, then the OVERLAPPED its request uses.
struct StreamPacket {
  KSSTREAM_HEADER header;
  OVERLAPPED overlapped;
};

struct PinSlot {
  uint32_t bViable;   // a PCM range covers the table's rate at the bit depth
  uint32_t bInUse;    // the host asked for one of its channels
  uint32_t bOpen;     // instantiated with a format
  CKsAudPin* pPin;    // owned by the filter
  uint32_t nMaxChannels;
  uint32_t nOpenChannels;
  uint32_t nPacketFrames;
  StreamPacket packets[kPacketsPerPin];
};

struct ChannelSlot {
  uint32_t bPresent;
  uint32_t bInUse;
  uint32_t nIndexInPin;  // position inside the pin's interleaved frame
  PinSlot* pPinSlot;
  uint32_t nFrames;
  void* pBuffer[2];  // the host's two buffer halves
};

struct StreamTable {
  uint32_t bValid;
  uint32_t nRate;
  uint32_t nTotalChannels;
  uint32_t nPins;
  PinSlot pins[kMaxPinSlots];
  uint32_t dwOpenPinMask;
  uint32_t nChannels;
  ChannelSlot channels[kMaxChannelSlots];
};

// Fills `table` for `rate` from `pins` (the filter's sink pins of one
// direction, in list order): the viable ones, at most three, with their
// channels appended in pin order, at most 64 in all.
void BuildStreamTable(StreamTable& table, uint32_t rate, uint32_t bits, const KsList<CKsPin>& pins);

// A table for a direction the device does not have: valid, without pins or
// channels.
void BuildEmptyStreamTable(StreamTable& table, uint32_t rate);

// The wave format a pin is opened with: PCM, `channels` interleaved, each
// sample a `bits`-wide container with all bits valid.
WAVEFORMATEXTENSIBLE StreamWaveFormat(uint32_t channels, uint32_t rate, uint32_t bits);

}  // namespace orvi
