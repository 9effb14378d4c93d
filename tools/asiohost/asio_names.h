#pragma once
// Names for the numbers an ASIO driver answers with, so a report reads
// "ASE_NotPresent" rather than -1000.
#include <string>

#include "asio/asio_interface.h"

namespace orvi::host {

// "ASE_OK", "ASE_NoClock", ...; "ASIOError <n>" for a code ASIO does not define.
std::string ErrorName(ASIOError error);

// "ASIOSTInt24LSB", "ASIOSTDSDInt8MSB1", ...; "sample type <n>" for others.
std::string SampleTypeName(ASIOSampleType type);

// "PCM", "DSD", "invalid"; "format <n>" for others.
std::string IoFormatName(ASIOIoFormatType format);

}  // namespace orvi::host
