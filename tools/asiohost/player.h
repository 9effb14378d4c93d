#pragma once
// One streaming session on a driver: createBuffers, start, a buffer switch per
// period, stop, disposeBuffers. Everything the switch needs is prepared
// before start: the output streams are whole in memory and the capture
// buffers allocated, so the switch only copies and counts; the main thread
// watches the counts, prints progress and decides when to stop.
//
// ASIO's callbacks carry no context: they reach the one running session
// through a global pointer, set from createBuffers to disposeBuffers.
#include <cstdint>
#include <string>
#include <vector>

#include "asio/asio_interface.h"
#include "tools/asiohost/media_source.h"
#include "tools/asiohost/progress.h"

namespace orvi::host {

struct SessionSetup {
  long bufferSize = 0;  // per half: PCM frames, or DSD samples (a multiple of 8)
  double rate = 0;      // the driver's rate, for the periods' length
  // Output channels 0..n-1 play these streams, then silence; null: no outputs.
  const ChannelStreams* output = nullptr;
  // Input channels 0..inputs-1 are captured, from the third switch on (the
  // first two switches' halves hold no captured audio yet).
  long inputs = 0;
  uint32_t inputBytesPerSample = 0;
  uint64_t captureFrames = 0;  // per channel; the session runs until it has them
  // How long a driver may take to the first switch, and between two switches,
  // beyond four periods.
  uint32_t switchTimeoutMs = 2000;
};

struct SessionResult {
  bool ok = false;
  std::string error;  // when !ok: which call failed, or what went wrong while running
  ASIOError latencyError = ASE_OK;
  long inputLatency = 0, outputLatency = 0;  // after createBuffers
  bool timeInfo = false;  // the driver called bufferSwitchTimeInfo
  uint64_t switches = 0;
  uint64_t missed = 0;  // periods the host did not see
  double seconds = 0;   // from start to stop
  std::vector<std::vector<uint8_t>> captured;  // per input channel, captureFrames samples
};

// Runs a session on `driver` (initialized, its rate set). The output streams
// must have the bytes per sample the driver takes at this rate.
SessionResult RunSession(IASIO& driver, const SessionSetup& setup, Progress& progress);

// Bytes of one channel's half of `size` samples: DSD packs eight to a byte.
uint64_t HalfBytes(long size, bool dsd, uint32_t bytesPerSample);

// Periods missed between two switches, from their sample positions (when the
// driver gave them) and buffer indices: a jump of more than one buffer, or an
// index that did not alternate.
uint64_t MissedBetween(bool havePositions, uint64_t previous, uint64_t current, long size, long previousIndex,
                       long index);

}  // namespace orvi::host
