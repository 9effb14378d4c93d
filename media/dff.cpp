#include "media/dff.h"

#include <string>

#include "media/byte_order.h"

namespace orvi::media {

using detail::Be16;
using detail::Be32;
using detail::Be64;
using detail::Hex;
using detail::IdIs;
using detail::IdText;
using detail::Num;

namespace {

using R = Result<DffFile>;

// DSDIFF chunk header: four-byte id, eight-byte big-endian size.
constexpr uint64_t kChunkHeader = 12;

struct Props {
  uint32_t rate = 0;
  uint16_t channels = 0;
  bool haveFs = false;
  bool haveChannels = false;
  bool haveCompression = false;
};

// The end of a chunk including its pad byte, which may be missing only where
// the container ends.
uint64_t NextChunk(uint64_t body, uint64_t size, uint64_t containerEnd) {
  const uint64_t next = body + size + (size & 1);
  return next > containerEnd ? containerEnd : next;
}

Status ParseProp(const uint8_t* file, uint64_t body, uint64_t size, Props& props) {
  if (size < 4) return Status::Fail("PROP chunk size " + Num(size) + " is too small for its property type");
  if (!IdIs(file + body, "SND ")) {
    return Status::Fail("PROP property type is " + IdText(file + body) + ", expected 'SND '");
  }
  const uint64_t end = body + size;
  uint64_t pos = body + 4;
  while (pos < end) {
    if (end - pos < kChunkHeader) {
      return Status::Fail("chunk header at offset " + Num(pos) + " runs past the end of the PROP chunk");
    }
    const uint8_t* id = file + pos;
    const uint64_t ck = Be64(id + 4);
    const uint64_t at = pos + kChunkHeader;
    if (ck > end - at) {
      return Status::Fail("chunk " + IdText(id) + " at offset " + Num(pos) + ": size " + Num(ck) +
                          " runs past the end of the PROP chunk (" + Num(end - at) + " bytes left)");
    }
    const uint8_t* d = file + at;
    if (IdIs(id, "FS  ")) {
      if (props.haveFs) return Status::Fail("second FS chunk in PROP");
      if (ck != 4) return Status::Fail("FS chunk size " + Num(ck) + " is not 4");
      props.rate = Be32(d);
      if (!detail::IsAcceptedDsdRate(props.rate)) {
        return Status::Fail("FS sample rate " + Num(props.rate) + " is not a DSD rate (a multiple of " +
                            Num(kDsdBaseRate) + " up to " + Num(kMaxDsdRate) + ")");
      }
      props.haveFs = true;
    } else if (IdIs(id, "CHNL")) {
      if (props.haveChannels) return Status::Fail("second CHNL chunk in PROP");
      if (ck < 2) return Status::Fail("CHNL chunk size " + Num(ck) + " is too small for the channel count");
      props.channels = Be16(d);
      if (props.channels < 1 || props.channels > kDffMaxChannels) {
        return Status::Fail("CHNL channel count " + Num(props.channels) + " is outside 1.." + Num(kDffMaxChannels));
      }
      if (ck != 2 + 4 * uint64_t{props.channels}) {
        return Status::Fail("CHNL chunk size " + Num(ck) + " does not match its channel count " +
                            Num(props.channels) + " (2 + 4 per channel = " + Num(2 + 4 * uint64_t{props.channels}) +
                            ")");
      }
      props.haveChannels = true;
    } else if (IdIs(id, "CMPR")) {
      if (props.haveCompression) return Status::Fail("second CMPR chunk in PROP");
      if (ck < 5) return Status::Fail("CMPR chunk size " + Num(ck) + " is too small for type and name length");
      if (IdIs(d, "DST ")) return Status::Fail("CMPR compression type 'DST ': DST-compressed DSD is not supported");
      if (!IdIs(d, "DSD ")) return Status::Fail("CMPR compression type " + IdText(d) + " is not 'DSD '");
      const uint8_t nameLength = d[4];
      if (nameLength > ck - 5) {
        return Status::Fail("CMPR compression name length " + Num(nameLength) + " runs past the chunk (size " +
                            Num(ck) + ")");
      }
      props.haveCompression = true;
    }
    pos = NextChunk(at, ck, end);
  }
  if (!props.haveFs) return Status::Fail("PROP has no FS chunk (sample rate)");
  if (!props.haveChannels) return Status::Fail("PROP has no CHNL chunk (channels)");
  if (!props.haveCompression) return Status::Fail("PROP has no CMPR chunk (compression type)");
  return Status::Ok();
}

}  // namespace

Result<DffFile> ParseDff(std::span<const uint8_t> file) {
  const uint8_t* p = file.data();
  const uint64_t size = file.size();
  if (size < 16) return R::Fail("file of " + Num(size) + " bytes is too short for the FRM8 header (16)");
  if (!IdIs(p, "FRM8")) return R::Fail("form chunk id is " + IdText(p) + ", expected 'FRM8'");
  const uint64_t formSize = Be64(p + 4);
  if (formSize < 4) return R::Fail("FRM8 size " + Num(formSize) + " is too small for the form type");
  if (formSize > size - kChunkHeader) {
    return R::Fail("FRM8 size " + Num(formSize) + " runs past the end of the file (" + Num(size - kChunkHeader) +
                   " bytes follow its header): the file is truncated");
  }
  if (formSize + kChunkHeader != size && !(formSize % 2 == 1 && formSize + kChunkHeader + 1 == size)) {
    return R::Fail("FRM8 size " + Num(formSize) + " is smaller than the file (" + Num(size) +
                   " bytes): bytes follow the form");
  }
  if (!IdIs(p + 12, "DSD ")) return R::Fail("FRM8 form type is " + IdText(p + 12) + ", expected 'DSD '");

  const uint64_t end = kChunkHeader + formSize;
  uint64_t pos = 16;
  bool first = true;
  bool haveProp = false;
  bool haveData = false;
  Props props;
  DffFile dff;
  while (pos < end) {
    if (end - pos < kChunkHeader) return R::Fail("chunk header at offset " + Num(pos) + " runs past the end of FRM8");
    const uint8_t* id = p + pos;
    const uint64_t ck = Be64(id + 4);
    const uint64_t body = pos + kChunkHeader;
    if (ck > end - body) {
      return R::Fail("chunk " + IdText(id) + " at offset " + Num(pos) + ": size " + Num(ck) +
                     " runs past the end of FRM8 (" + Num(end - body) + " bytes left)");
    }
    if (first && !IdIs(id, "FVER")) return R::Fail("first chunk is " + IdText(id) + ", expected 'FVER'");
    first = false;
    if (IdIs(id, "FVER")) {
      if (dff.version != 0) return R::Fail("second FVER chunk at offset " + Num(pos));
      if (ck != 4) return R::Fail("FVER chunk size " + Num(ck) + " is not 4");
      dff.version = Be32(p + body);
      if (dff.version >> 24 != 1) return R::Fail("FVER version " + Hex(dff.version) + " is not 1.x");
    } else if (IdIs(id, "PROP")) {
      if (haveProp) return R::Fail("second PROP chunk at offset " + Num(pos));
      if (Status s = ParseProp(p, body, ck, props); !s) return R::Fail(s.error());
      haveProp = true;
    } else if (IdIs(id, "DSD ")) {
      if (!haveProp) return R::Fail("sound data chunk 'DSD ' comes before the PROP chunk");
      if (haveData) return R::Fail("second sound data chunk at offset " + Num(pos));
      if (ck % props.channels != 0) {
        return R::Fail("sound data chunk 'DSD ' size " + Num(ck) + " is not a multiple of the channel count " +
                       Num(props.channels));
      }
      const uint64_t frames = ck / props.channels;
      dff.audio.channels = props.channels;
      dff.audio.dsdRate = props.rate;
      dff.audio.sampleCount = frames * 8;
      dff.audio.channelBytes.assign(props.channels, std::vector<uint8_t>(static_cast<size_t>(frames)));
      const uint8_t* d = p + body;
      for (uint64_t i = 0; i < frames; ++i) {
        for (uint16_t c = 0; c < props.channels; ++c) {
          dff.audio.channelBytes[c][static_cast<size_t>(i)] = d[i * props.channels + c];
        }
      }
      haveData = true;
    } else if (IdIs(id, "DST ")) {
      return R::Fail("sound data chunk 'DST ': DST-compressed DSD is not supported");
    }
    pos = NextChunk(body, ck, end);
  }
  if (dff.version == 0) return R::Fail("no FVER chunk");
  if (!haveProp) return R::Fail("no PROP chunk");
  if (!haveData) return R::Fail("no sound data chunk 'DSD '");
  return R::Ok(std::move(dff));
}

Result<std::vector<uint8_t>> BuildDff(const DsdAudio& audio) {
  using B = Result<std::vector<uint8_t>>;
  if (Status s = CheckDsdAudio(audio, kDffMaxChannels); !s) return B::Fail(s.error());
  if (audio.sampleCount % 8 != 0) {
    return B::Fail("sample count " + Num(audio.sampleCount) + " is not whole bytes, which DSDIFF needs");
  }
  using detail::PutBe;
  using detail::PutId;
  const uint64_t frames = audio.sampleCount / 8;
  const char kName[] = "not compressed";
  const uint64_t nameLength = sizeof kName - 1;
  const uint64_t cmprSize = 4 + 1 + nameLength + ((1 + nameLength) & 1);
  const uint64_t chnlSize = 2 + 4 * uint64_t{audio.channels};
  const uint64_t propSize = 4 + (kChunkHeader + 4) + (kChunkHeader + chnlSize) + (kChunkHeader + cmprSize);
  const uint64_t soundSize = frames * audio.channels;
  const uint64_t formSize = 4 + (kChunkHeader + 4) + (kChunkHeader + propSize) + (kChunkHeader + soundSize) +
                            (soundSize & 1);

  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(kChunkHeader + formSize));
  PutId(out, "FRM8");
  PutBe(out, formSize, 8);
  PutId(out, "DSD ");
  PutId(out, "FVER");
  PutBe(out, 4, 8);
  PutBe(out, 0x01050000, 4);
  PutId(out, "PROP");
  PutBe(out, propSize, 8);
  PutId(out, "SND ");
  PutId(out, "FS  ");
  PutBe(out, 4, 8);
  PutBe(out, audio.dsdRate, 4);
  PutId(out, "CHNL");
  PutBe(out, chnlSize, 8);
  PutBe(out, audio.channels, 2);
  for (uint16_t c = 0; c < audio.channels; ++c) {
    if (audio.channels == 2) {
      PutId(out, c == 0 ? "SLFT" : "SRGT");
    } else {
      // Generic channel ids C000..C999.
      // Built digit by digit: GCC 12 at -O3 misreads string concatenation here.
      out.push_back('C');
      out.push_back(static_cast<uint8_t>('0' + c / 100 % 10));
      out.push_back(static_cast<uint8_t>('0' + c / 10 % 10));
      out.push_back(static_cast<uint8_t>('0' + c % 10));
    }
  }
  PutId(out, "CMPR");
  PutBe(out, cmprSize, 8);
  PutId(out, "DSD ");
  out.push_back(static_cast<uint8_t>(nameLength));
  out.insert(out.end(), kName, kName + nameLength);
  if ((1 + nameLength) & 1) out.push_back(0);
  PutId(out, "DSD ");
  PutBe(out, soundSize, 8);
  for (uint64_t i = 0; i < frames; ++i) {
    for (uint16_t c = 0; c < audio.channels; ++c) out.push_back(audio.channelBytes[c][static_cast<size_t>(i)]);
  }
  if (soundSize & 1) out.push_back(0);
  return B::Ok(std::move(out));
}

}  // namespace orvi::media
