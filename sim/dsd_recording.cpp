#include "sim/dsd_recording.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/rates.h"

namespace sim {
namespace {

// DoP frames are decoded through this much stack per step: a few hundred
// frames at the channel counts DSF holds.
constexpr size_t kDopScratchBytes = 2048;

const char* ModeName(DsdMode mode) {
  switch (mode) {
    case DsdMode::kDsd64:
      return "DSD64";
    case DsdMode::kDsd128:
      return "DSD128";
    case DsdMode::kDsd256:
      return "DSD256";
    default:
      return "off";
  }
}

bool IsDopRate(ULONG rate) { return rate == 176400 || rate == 352800; }

}  // namespace

bool IsDsfRecordingName(const char* path) {
  size_t n = path ? std::strlen(path) : 0;
  if (n < 4) return false;
  const char* ext = path + n - 4;
  const char want[] = ".dsf";
  for (int i = 0; i < 4; ++i) {
    char c = ext[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != want[i]) return false;
  }
  return true;
}

ULONG DsdCarrierRate(DsdMode mode) {
  // The modes are numbered as the rate table lists DSD64, DSD128, DSD256.
  const auto i = static_cast<size_t>(mode);
  return i >= 1 && i <= orvi::kDsdCarrierRates.size() ? orvi::kDsdCarrierRates[i - 1] : 0;
}

// ---- HandleSink ----

bool HandleSink::Create(const std::string& path) {
  Close();
  m_file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  return m_file != INVALID_HANDLE_VALUE;
}

void HandleSink::Close() {
  if (m_file == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(m_file);
  CloseHandle(m_file);
  m_file = INVALID_HANDLE_VALUE;
}

bool HandleSink::Append(std::span<const uint8_t> bytes) {
  if (m_file == INVALID_HANDLE_VALUE) return false;
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(m_file, p, chunk, &written, nullptr) || written != chunk) return false;
    p += chunk;
    left -= chunk;
  }
  return true;
}

bool HandleSink::Overwrite(uint64_t offset, std::span<const uint8_t> bytes) {
  if (m_file == INVALID_HANDLE_VALUE || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  LARGE_INTEGER end = {};
  if (!SetFilePointerEx(m_file, at, nullptr, FILE_BEGIN)) return false;
  bool ok = Append(bytes);
  return SetFilePointerEx(m_file, end, nullptr, FILE_END) && ok;
}

// ---- DsdRecorder ----

void DsdRecorder::Open(const std::string& path, const WavFormat& format, DsdMode mode) {
  Close("a new stream started");
  m_format = format;
  m_mode = mode;
  char note[kRecordNoteSize];
  const ULONG carrier = DsdCarrierRate(mode);
  Kind kind = Kind::kNone;
  ULONG dsdRate = 0;
  if (format.channels < 1 || format.channels > orvi::media::kDsfMaxChannels) {
    std::snprintf(note, sizeof note, "%lu channels: a DSF file holds 1 to %u",
                  static_cast<unsigned long>(format.channels), unsigned{orvi::media::kDsfMaxChannels});
  } else if (format.bits == 32 && carrier != 0 && format.rate == carrier) {
    kind = Kind::kNative;
    dsdRate = format.rate * 32;
  } else {
    if (carrier == 0) {
      std::snprintf(m_notNative, sizeof m_notNative, "DSD mode off");
    } else {
      std::snprintf(m_notNative, sizeof m_notNative, "DSD mode %s needs %lu Hz", ModeName(mode),
                    static_cast<unsigned long>(carrier));
    }
    if ((format.bits == 24 || format.bits == 32) && IsDopRate(format.rate)) {
      kind = Kind::kDop;
      dsdRate = format.rate * 16;
    } else {
      std::snprintf(note, sizeof note, "%lu-bit %lu Hz is not native DSD (%s) nor DoP (24/32-bit at 176400/352800 Hz)",
                    static_cast<unsigned long>(format.bits), static_cast<unsigned long>(format.rate), m_notNative);
    }
  }
  if (kind == Kind::kNone) {
    // Nothing of this stream is DSD: no file, and none left from before that
    // could pass for this stream's.
    DeleteFileA(path.c_str());
    Lab::SetRecordState(RecordFormat::kNone, RecordState::kStopped, note);
    return;
  }
  const RecordFormat recordFormat = kind == Kind::kNative ? RecordFormat::kDsdNative : RecordFormat::kDop;
  if (!m_sink.Create(path)) {
    std::snprintf(note, sizeof note, "cannot create the recording (error %lu)",
                  static_cast<unsigned long>(GetLastError()));
    Lab::SetRecordState(recordFormat, RecordState::kStopped, note);
    return;
  }
  orvi::media::Status s = m_writer.Start(m_sink, static_cast<uint16_t>(format.channels), dsdRate);
  if (s && kind == Kind::kDop) s = m_dop.Start(static_cast<uint16_t>(format.channels), format.bits);
  if (!s) {
    if (m_writer.started()) m_writer.Finish();
    m_sink.Close();
    std::snprintf(note, sizeof note, "%s", s.error().c_str());
    Lab::SetRecordState(recordFormat, RecordState::kStopped, note);
    return;
  }
  m_kind = kind;
  Lab::SetRecordState(recordFormat, RecordState::kRecording, "");
}

void DsdRecorder::Append(const uint8_t* data, size_t bytes, DsdMode mode) {
  if (!IsOpen() || bytes == 0) return;
  char note[kRecordNoteSize];
  if (m_kind == Kind::kNative) {
    // The device plays 32-bit containers as DSD only while the mode lasts.
    if (mode != m_mode) {
      std::snprintf(note, sizeof note, "DSD mode changed from %s to %s mid-stream", ModeName(m_mode), ModeName(mode));
      Stop(note);
      return;
    }
    orvi::media::Status s = m_writer.Write({data, bytes}, 4);
    if (!s) {
      std::snprintf(note, sizeof note, "%s", s.error().c_str());
      Stop(note);
    }
    return;
  }
  uint8_t scratch[kDopScratchBytes];
  const size_t frameBytes = m_dop.frameBytes();
  size_t at = 0;
  if (m_dop.frames() == 0) {
    // Silence before the first marker is played as PCM, as a DAC does: a
    // driver's pre-roll is zeros.
    while (at + frameBytes <= bytes &&
           std::all_of(data + at, data + at + frameBytes, [](uint8_t b) { return b == 0; })) {
      at += frameBytes;
    }
  }
  while (at < bytes) {
    size_t frames = m_dop.Decode({data + at, bytes - at}, scratch);
    if (frames > 0) {
      orvi::media::Status s = m_writer.Write({scratch, frames * 2 * m_format.channels}, 2);
      if (!s) {
        std::snprintf(note, sizeof note, "%s", s.error().c_str());
        Stop(note);
        return;
      }
    }
    at += frames * frameBytes;
    if (m_dop.broken()) {
      if (m_dop.frames() == 0) {
        std::snprintf(note, sizeof note, "not native DSD (%s) nor DoP (%s)", m_notNative, m_dop.error().c_str());
      } else {
        std::snprintf(note, sizeof note, "DoP broke off: %s", m_dop.error().c_str());
      }
      Stop(note);
      return;
    }
    if (frames == 0) break;  // a partial frame: packets hold whole frames, so never
  }
}

void DsdRecorder::Stop(const char* note) { Finish(RecordState::kStopped, note); }

void DsdRecorder::Close(const char* why) {
  if (IsOpen()) Finish(RecordState::kFinished, why);
}

void DsdRecorder::Finish(RecordState state, const char* note) {
  const RecordFormat format = m_kind == Kind::kNative ? RecordFormat::kDsdNative : RecordFormat::kDop;
  m_kind = Kind::kNone;
  orvi::media::Status s = m_writer.Finish();
  m_sink.Close();
  if (!s) {
    char text[kRecordNoteSize];
    std::snprintf(text, sizeof text, "%s; finishing the file failed: %s", note, s.error().c_str());
    Lab::SetRecordState(format, RecordState::kStopped, text);
    return;
  }
  Lab::SetRecordState(format, state, note);
}

}  // namespace sim
