#include "sim/lab_state.h"

#include <cstdio>
#include <cstring>

#include "platform/unique_handle.h"

namespace sim {
namespace {

struct Mapping {
  orvi::UniqueHandle file;
  orvi::UniqueHandle mapping;
  LabBlock* block = nullptr;
  std::string directory;
};

std::string LabDirectory() {
  char buffer[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("ORVI_LAB_DIR", buffer, sizeof buffer);
  if (n > 0 && n < sizeof buffer) return buffer;
  n = GetTempPathA(sizeof buffer, buffer);
  std::string dir = (n > 0 && n < sizeof buffer) ? buffer : "C:\\";
  if (dir.back() != '\\') dir += '\\';
  return dir + "orvi-lab";
}

// The mapping's name follows from the directory, so every process of one lab
// (of either architecture) opens the same object.
std::string MappingName(const std::string& directory) {
  uint32_t hash = 2166136261u;
  for (char c : directory) {
    auto lower = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    hash = (hash ^ lower) * 16777619u;
  }
  char name[64];
  wsprintfA(name, "Local\\OrviLab-%08lx", static_cast<unsigned long>(hash));
  return name;
}

Mapping* Open() {
  auto* m = new Mapping;
  m->directory = LabDirectory();
  CreateDirectoryA(m->directory.c_str(), nullptr);
  std::string path = m->directory + "\\device.state";
  // A transient lab (each test program has one) goes with its last process.
  char transient[4] = {};
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (GetEnvironmentVariableA("ORVI_LAB_TRANSIENT", transient, sizeof transient) == 1 && transient[0] == '1')
    flags |= FILE_FLAG_DELETE_ON_CLOSE;
  m->file.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, flags,
                            nullptr));
  if (!m->file) return m;
  m->mapping.reset(CreateFileMappingA(m->file.get(), nullptr, PAGE_READWRITE, 0, sizeof(LabBlock),
                                      MappingName(m->directory).c_str()));
  if (!m->mapping) return m;
  m->block = static_cast<LabBlock*>(MapViewOfFile(m->mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LabBlock)));
  if (!m->block) return m;
  // A new or foreign file starts as an unplugged device. Two processes that
  // meet a new file at once both write the same initial state.
  if (m->block->magic != kLabMagic || m->block->version != kLabVersion) {
    std::memset(m->block, 0, sizeof(LabBlock));
    m->block->toneHz = 1000;
    m->block->version = kLabVersion;
    MemoryBarrier();
    m->block->magic = kLabMagic;
  }
  return m;
}

Mapping& TheMapping() {
  static Mapping* m = Open();  // kept for the life of the process
  return *m;
}

}  // namespace

LabBlock* Lab::Block() { return TheMapping().block; }

void Lab::UseOwnDirectory(const char* tag, bool keepInherited) {
  char existing[4];
  if (keepInherited && GetEnvironmentVariableA("ORVI_LAB_DIR", existing, sizeof existing) != 0) return;
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return;
  char dir[MAX_PATH + 64];
  std::snprintf(dir, sizeof dir, "%sorvi-lab-%s-%lu", temp, tag, GetCurrentProcessId());
  SetEnvironmentVariableA("ORVI_LAB_DIR", dir);
  SetEnvironmentVariableA("ORVI_LAB_TRANSIENT", "1");
}

std::string Lab::Directory() { return TheMapping().directory; }

bool Lab::Plug(const std::string& profileText, std::string& error) {
  LabBlock* b = Block();
  if (!b) {
    error = "the lab state cannot be mapped in " + Directory();
    return false;
  }
  Profile profile;
  if (!ParseProfile(profileText, profile, error)) return false;
  if (profileText.size() >= kMaxProfileText) {
    error = "profile text is longer than " + std::to_string(kMaxProfileText - 1) + " bytes";
    return false;
  }
  InterlockedExchange(&b->plugged, 0);
  InterlockedIncrement(&b->generation);
  std::memcpy(b->profileText, profileText.data(), profileText.size());
  b->profileText[profileText.size()] = '\0';
  b->profileLength = static_cast<uint32_t>(profileText.size());
  InterlockedExchange(&b->streamActive, 0);
  InterlockedExchange(&b->dsdMode, 0);
  InterlockedExchange(&b->dopActive, 0);
  InterlockedExchange(&b->volumeKey, 0);
  MemoryBarrier();
  InterlockedExchange(&b->plugged, 1);
  return true;
}

void Lab::Reset() {
  LabBlock* b = Block();
  if (!b) return;
  LONG generation = b->generation;
  std::memset(reinterpret_cast<char*>(b) + offsetof(LabBlock, plugged), 0, sizeof(LabBlock) - offsetof(LabBlock, plugged));
  b->toneHz = 1000;
  // Handles opened before the reset must see the device gone.
  InterlockedExchange(&b->generation, generation + 1);
}

void Lab::Unplug() {
  LabBlock* b = Block();
  if (!b) return;
  InterlockedExchange(&b->plugged, 0);
  InterlockedIncrement(&b->generation);
  InterlockedExchange(&b->streamActive, 0);
}

bool Lab::Plugged(Profile& profile, LONG& generation) {
  LabBlock* b = Block();
  if (!b || !b->plugged) return false;
  generation = b->generation;
  // Another process wrote the text: read it within its bounds only.
  uint32_t length = b->profileLength < kMaxProfileText ? b->profileLength : kMaxProfileText - 1;
  std::string text(b->profileText, strnlen(b->profileText, length));
  std::string error;
  if (!ParseProfile(text, profile, error)) return false;
  return b->plugged && b->generation == generation;
}

bool Lab::Present(LONG generation) {
  LabBlock* b = Block();
  return b && b->plugged && b->generation == generation;
}

void Lab::SetRecordState(RecordFormat format, RecordState state, const char* note) {
  LabBlock* b = Block();
  if (!b) return;
  size_t n = note ? strnlen(note, kRecordNoteSize - 1) : 0;
  std::memset(b->recordNote, 0, sizeof b->recordNote);
  if (n) std::memcpy(b->recordNote, note, n);
  MemoryBarrier();
  InterlockedExchange(&b->recordFormat, static_cast<LONG>(format));
  InterlockedExchange(&b->recordState, static_cast<LONG>(state));
}

void Lab::LogHidReport(const void* data, uint32_t length) {
  LabBlock* b = Block();
  if (!b) return;
  LONG sequence = InterlockedIncrement(&b->hidLogCount);
  HidLogEntry& e = b->hidLog[static_cast<uint32_t>(sequence - 1) % kHidLogSize];
  e.sequence = 0;
  MemoryBarrier();
  e.tick = GetTickCount();
  e.length = length;
  std::memset(e.bytes, 0, sizeof e.bytes);
  std::memcpy(e.bytes, data, length < kHidReportMax ? length : kHidReportMax);
  MemoryBarrier();
  e.sequence = static_cast<uint32_t>(sequence);
}

std::vector<HidLogEntry> Lab::HidReports(uint32_t after) {
  std::vector<HidLogEntry> out;
  LabBlock* b = Block();
  if (!b) return out;
  uint32_t count = static_cast<uint32_t>(b->hidLogCount);
  uint32_t first = count > kHidLogSize ? count - kHidLogSize + 1 : 1;
  if (first <= after) first = after + 1;
  for (uint32_t s = first; s <= count; ++s) {
    HidLogEntry e = b->hidLog[(s - 1) % kHidLogSize];
    if (e.sequence == s) out.push_back(e);
  }
  return out;
}

}  // namespace sim
