#pragma once
// The streaming commands: play a file, record the inputs, and the loopback
// check. Each opens the driver, sets it up for the format, runs one session
// (player.h) and prints a summary; the result is an exit code (exit_codes.h).
#include <string>

#include "tools/asiohost/driver_report.h"

namespace orvi::host {

struct StreamOptions {
  std::string driver;         // empty: the only one installed, else `defaultDriver`
  std::string defaultDriver;
  std::string file;           // play: what to play; record: where to write
  bool hasRate = false;       // record, loopback
  double rate = 0;
  long bufferFrames = 0;      // --buffer; 0: not given
  double bufferMs = 0;        // --buffer-ms; 0: not given
  double seconds = 0;         // record, loopback; 0: not given
  bool quiet = false;
};

int Play(const StreamOptions& options);
int Record(const StreamOptions& options);
int Loopback(const StreamOptions& options);

// What getBufferSize answered.
struct BufferSizes {
  bool known = false;  // the call succeeded
  long minSize = 0, maxSize = 0, preferredSize = 0;
};

// The buffer size for a session: --buffer as given, --buffer-ms converted at
// `rate` (DSD: rounded to whole 32-sample containers), else the driver's
// preferred size; checked against the driver's range and, for DSD, the
// 32-sample multiple. False with a message when it does not fit.
bool ChooseBufferSize(const StreamOptions& options, double rate, bool dsd, const BufferSizes& sizes, long& size,
                      std::string& error);

}  // namespace orvi::host
