#pragma once
// The simulated device's state that outlives the processes using it: whether it
// is plugged (and as what), what it plays, its DSD and DoP modes, its volume
// key, and a log of every HID output report. It lives in a file-backed mapping
// in the lab directory, shared by the 64- and 32-bit processes of one lab.
//
// The lab directory is %ORVI_LAB_DIR% if set, otherwise %TEMP%\orvi-lab. Test
// programs give each process a directory of its own (tests/support) and set
// ORVI_LAB_TRANSIENT=1, which deletes the state when its last user ends.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/profile.h"

namespace sim {

inline constexpr uint32_t kLabMagic = 0x4C41424F;  // "OBAL"
inline constexpr uint32_t kLabVersion = 2;
inline constexpr uint32_t kMaxProfileText = 32 * 1024;
inline constexpr uint32_t kHidLogSize = 512;
inline constexpr uint32_t kHidReportMax = 64;
inline constexpr uint32_t kRecordNoteSize = 128;

enum class CaptureSource : uint32_t { kSilence = 0, kTone = 1, kFile = 2, kLoopback = 3 };
enum class DsdMode : uint32_t { kNone = 0, kDsd64 = 1, kDsd128 = 2, kDsd256 = 3 };
// What the last recording holds: the stream as played (WAV), or DSD taken
// from 32-bit containers in a DSD mode or from DoP frames (DSF).
enum class RecordFormat : uint32_t { kNone = 0, kWav = 1, kDsdNative = 2, kDop = 3 };
// kFinished: the file is complete and holds the whole stream; kStopped: the
// file (if any) is complete but holds only what came before the stream
// stopped being recordable as asked, and the note says why.
enum class RecordState : uint32_t { kIdle = 0, kRecording = 1, kFinished = 2, kStopped = 3 };

struct HidLogEntry {
  uint32_t sequence;  // 1, 2, 3 ... ; 0 while the slot is being written
  uint32_t tick;      // GetTickCount of the write
  uint32_t length;    // bytes written (the report is kept up to kHidReportMax)
  uint8_t bytes[kHidReportMax];
};

// Every field is a naturally aligned 32-bit value or a fixed array; processes
// update counters with interlocked operations and read without locks.
struct LabBlock {
  uint32_t magic;
  uint32_t version;
  volatile LONG generation;  // changes at every plug and unplug
  volatile LONG plugged;
  uint32_t profileLength;
  char profileText[kMaxProfileText];  // the plugged profile (JSON), for every process
  // What the device is playing.
  volatile LONG streamActive;
  volatile LONG streamRate;
  volatile LONG streamBits;
  volatile LONG streamChannels;
  volatile LONG dsdMode;  // DsdMode
  volatile LONG dopActive;
  volatile LONG underruns;
  volatile LONG overruns;
  volatile LONG volumeKey;  // 0 none, 1 Volume +, 2 Volume - held
  volatile LONG volumeKeyPresses;
  volatile LONG volumeSteps;  // net key presses: +1 per Volume +, -1 per Volume -
  // Faults the lab asks for.
  volatile LONG ksuserMissing;
  volatile LONG packetsStalled;
  // Capture source and recording.
  volatile LONG captureSource;  // CaptureSource
  volatile LONG toneHz;
  char captureFile[260];
  volatile LONG recording;
  char recordFile[260];
  volatile LONG recordFormat;  // RecordFormat of the last recording
  volatile LONG recordState;   // RecordState of the last recording
  char recordNote[kRecordNoteSize];  // why it ended, or what it could not record
  // HID output reports, a ring of the last kHidLogSize.
  volatile LONG hidLogCount;
  HidLogEntry hidLog[kHidLogSize];
};

class Lab {
 public:
  // This process's lab (mapped on first use). Null when it cannot be mapped.
  static LabBlock* Block();
  static std::string Directory();
  // Gives this process a lab of its own, %TEMP%\orvi-lab-<tag>-<pid>, gone
  // with its last process. Call before the lab is first used. With
  // `keepInherited`, a lab named in the environment already (a parent's, which
  // its children share) is kept.
  static void UseOwnDirectory(const char* tag, bool keepInherited);

  // Plugs the device as `profile` (replacing what was plugged). The text is
  // checked first; a malformed profile is refused with the reason.
  static bool Plug(const std::string& profileText, std::string& error);
  static void Unplug();
  // Unplugs and returns every setting, fault and count to its initial value.
  static void Reset();
  // The plugged device's profile and generation; false when unplugged.
  static bool Plugged(Profile& profile, LONG& generation);
  // Whether objects opened at `generation` still reach a present device.
  static bool Present(LONG generation);

  // Publishes the state of the recording; `note` is cut to the field's size.
  // Allocates nothing, so a pin's clock thread may call it.
  static void SetRecordState(RecordFormat format, RecordState state, const char* note);

  static void LogHidReport(const void* data, uint32_t length);
  // The log's entries with a sequence above `after`, oldest first.
  static std::vector<HidLogEntry> HidReports(uint32_t after = 0);
};

}  // namespace sim
