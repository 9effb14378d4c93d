#pragma once
// The driver's per-user settings under HKEY_CURRENT_USER\Software\ASIO\<product>:
// "SampleRate" belongs to the driver object; "BufferSize", "BitsPerSample",
// "SupportSampleRate" and "SupporBitsPerSample" (so spelled) travel through the
// status block, where the control panel changes the first two; "ASIOCPL" is the
// panel program's folder, written by the installer.
//
// Values are DWORDs of exactly 4 bytes; anything else stored under one of these
// names (another type, another size) counts as missing.
#include <windows.h>

#include <cstdint>
#include <string>

#include "asio/status_block.h"

namespace orvi {

inline constexpr uint32_t kDefaultSampleRate = 44100;

class CDriverSettings {
 public:
  explicit CDriverSettings(std::string product = ORVI_DRIVER_PRODUCT);

  // "Software\ASIO\<product>", relative to HKEY_CURRENT_USER.
  std::string KeyPath() const { return "Software\\ASIO\\" + m_product; }

  // At init, and when the driver created the block. Without the key nothing is
  // read (false): `carrierRate` and the block stay as they are, so the next
  // load tries again. With it, "SampleRate" (else 44100) goes into
  // `carrierRate`, and a valid block whose settings were not loaded yet gets
  // the four block settings (else their defaults).
  bool Load(CStatusBlock& block, uint32_t& carrierRate) const;

  // At destruction: "SampleRate", and the four block settings when the block
  // had them loaded. False when the key cannot be created.
  bool Save(const CStatusBlock& block, uint32_t carrierRate) const;

  // "ASIOCPL" followed by "<product>ACPL.exe"; empty when the value is missing,
  // is no REG_SZ or does not fit 260 bytes.
  std::string PanelProgramPath() const;

 private:
  std::string m_product;
};

}  // namespace orvi
