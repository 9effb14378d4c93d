// Makes test material and checks a device's recording of it:
//   orvimaterial make FILE.wav RATE BITS SECONDS    stereo PCM
//   orvimaterial make FILE.dsf DSDRATE SECONDS      stereo DSD
//   orvimaterial verify RECORDING SOURCE            silence, then all of the source, bit for bit
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "media/dsf.h"
#include "media/file_bytes.h"
#include "media/wav.h"
#include "tools/material/material.h"

namespace {

constexpr char kUsage[] =
    "usage: orvimaterial make FILE.wav RATE BITS SECONDS\n"
    "       orvimaterial make FILE.dsf DSDRATE SECONDS\n"
    "       orvimaterial verify RECORDING SOURCE\n"
    "exit codes: 0 done (verify: bit for bit), 1 usage, 2 a file cannot be read or written, 3 verify found a "
    "difference\n";

constexpr uint64_t kMaxFileBytes = 1ull << 31;

int Usage() {
  std::fputs(kUsage, stderr);
  return 1;
}

bool EndsWith(const std::string& s, const char* tail) {
  const std::string t(tail);
  if (s.size() < t.size()) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - t.size() + i])) != t[i]) return false;
  }
  return true;
}

// A positive number, whole or with a fraction when `fraction` allows.
bool ParseNumber(const char* text, double& value, bool fraction) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end && *end == '\0' && end != text && value > 0 && value < 1e9 && (fraction || value == std::floor(value));
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return out && out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int Make(int argc, char** argv) {
  const std::string path = argv[2];
  orvi::media::Result<std::vector<uint8_t>> file = orvi::media::Result<std::vector<uint8_t>>::Fail("no file");
  double rate = 0;
  double seconds = 0;
  if (EndsWith(path, ".wav") && argc == 6) {
    double bits = 0;
    if (!ParseNumber(argv[3], rate, false) || !ParseNumber(argv[4], bits, false) ||
        !ParseNumber(argv[5], seconds, true)) {
      return Usage();
    }
    const orvi::media::PcmFormat format{2, static_cast<uint32_t>(rate), static_cast<uint16_t>(bits),
                                        static_cast<uint16_t>(bits)};
    const auto audio = orvi::material::MakePcm(format, static_cast<uint64_t>(rate * seconds));
    if (!audio) {
      std::fprintf(stderr, "orvimaterial: %s\n", audio.error().c_str());
      return 1;
    }
    file = orvi::media::BuildWav(audio.value());
  } else if (EndsWith(path, ".dsf") && argc == 5) {
    if (!ParseNumber(argv[3], rate, false) || !ParseNumber(argv[4], seconds, true)) return Usage();
    const auto audio = orvi::material::MakeDsd(2, static_cast<uint32_t>(rate), static_cast<uint64_t>(rate * seconds));
    if (!audio) {
      std::fprintf(stderr, "orvimaterial: %s\n", audio.error().c_str());
      return 1;
    }
    file = orvi::media::BuildDsf(audio.value());
  } else {
    return Usage();
  }
  if (!file) {
    std::fprintf(stderr, "orvimaterial: %s\n", file.error().c_str());
    return 1;
  }
  if (!WriteFile(path, file.value())) {
    std::fprintf(stderr, "orvimaterial: cannot write %s\n", path.c_str());
    return 2;
  }
  std::printf("%s: %.3f s, %zu bytes\n", path.c_str(), seconds, file->size());
  return 0;
}

int Verify(const char* recordingPath, const char* sourcePath) {
  const auto recording = orvi::media::ReadFileBytes(recordingPath, kMaxFileBytes);
  const auto source = orvi::media::ReadFileBytes(sourcePath, kMaxFileBytes);
  for (auto [path, bytes] : {std::pair{recordingPath, &recording}, std::pair{sourcePath, &source}}) {
    if (!*bytes) {
      std::fprintf(stderr, "orvimaterial: %s: %s\n", path, bytes->error().c_str());
      return 2;
    }
  }
  const orvi::material::Verdict v = orvi::material::VerifyRecording(recording.value(), source.value());
  std::printf("%s: %s\n", v.exact ? "verified" : "NOT verified", v.message.c_str());
  return v.exact ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "make") return Make(argc, argv);
  if (argc == 4 && std::string(argv[1]) == "verify") return Verify(argv[2], argv[3]);
  return Usage();
}
