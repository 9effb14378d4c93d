#pragma once
// Recording what a render pin plays as DSD, into a DSF file: the device takes
// 32-bit containers at a carrier rate as native DSD when its DSD mode matches
// that carrier, and otherwise recognises DoP by its markers, as the DAC does.
// What is neither is recorded as far as it was DSD; the lab block's note says
// why the recording stopped.
#include <windows.h>

#include <cstdint>
#include <string>

#include "media/dop.h"
#include "media/dsf.h"
#include "sim/lab_state.h"
#include "sim/wav_file.h"

namespace sim {

// Whether a recording file name asks for DSD (it ends in ".dsf", any case).
bool IsDsfRecordingName(const char* path);

// The carrier rate a DSD mode streams 32-bit containers at; 0 for none.
ULONG DsdCarrierRate(DsdMode mode);

// A ByteSink over a Win32 file handle it owns.
class HandleSink : public orvi::media::ByteSink {
 public:
  HandleSink() = default;
  HandleSink(const HandleSink&) = delete;
  HandleSink& operator=(const HandleSink&) = delete;
  ~HandleSink() override { Close(); }

  // Creates (or truncates) the file, shared for reading.
  bool Create(const std::string& path);
  void Close();
  bool Append(std::span<const uint8_t> bytes) override;
  bool Overwrite(uint64_t offset, std::span<const uint8_t> bytes) override;

 private:
  HANDLE m_file = INVALID_HANDLE_VALUE;
};

class DsdRecorder {
 public:
  DsdRecorder() = default;
  DsdRecorder(const DsdRecorder&) = delete;
  DsdRecorder& operator=(const DsdRecorder&) = delete;
  ~DsdRecorder() { Close("recorder ended"); }

  // A stream of `format` starts while the device is in `mode`: decides
  // whether it is native DSD, possibly DoP, or neither, and creates the file.
  // Publishes the recording's state in the lab block.
  void Open(const std::string& path, const WavFormat& format, DsdMode mode);
  bool IsOpen() const { return m_kind != Kind::kNone; }
  // A played packet of whole frames; `mode` is the device's DSD mode now.
  // Writes full blocks to the file; allocates nothing unless the stream stops
  // being DSD here.
  void Append(const uint8_t* data, size_t bytes, DsdMode mode);
  // Finishes the file (last block, header) if one is open; `why` becomes the
  // note.
  void Close(const char* why);

 private:
  enum class Kind { kNone, kNative, kDop };
  // Finishes the file with what came before, publishing `note` as the reason.
  void Stop(const char* note);
  void Finish(RecordState state, const char* note);

  Kind m_kind = Kind::kNone;
  DsdMode m_mode = DsdMode::kNone;
  WavFormat m_format;
  HandleSink m_sink;
  orvi::media::DsfStreamWriter m_writer;
  orvi::media::DopDecoder m_dop;
  char m_notNative[64] = {};  // why a DoP candidate was not taken as native DSD
};

}  // namespace sim
