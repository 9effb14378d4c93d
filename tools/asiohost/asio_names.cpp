#include "tools/asiohost/asio_names.h"

namespace orvi::host {

std::string ErrorName(ASIOError error) {
  switch (error) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "ASIOError " + std::to_string(error);
  }
}

std::string SampleTypeName(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16MSB: return "ASIOSTInt16MSB";
    case ASIOSTInt24MSB: return "ASIOSTInt24MSB";
    case ASIOSTInt32MSB: return "ASIOSTInt32MSB";
    case ASIOSTFloat32MSB: return "ASIOSTFloat32MSB";
    case ASIOSTFloat64MSB: return "ASIOSTFloat64MSB";
    case ASIOSTInt32MSB16: return "ASIOSTInt32MSB16";
    case ASIOSTInt32MSB18: return "ASIOSTInt32MSB18";
    case ASIOSTInt32MSB20: return "ASIOSTInt32MSB20";
    case ASIOSTInt32MSB24: return "ASIOSTInt32MSB24";
    case ASIOSTInt16LSB: return "ASIOSTInt16LSB";
    case ASIOSTInt24LSB: return "ASIOSTInt24LSB";
    case ASIOSTInt32LSB: return "ASIOSTInt32LSB";
    case ASIOSTFloat32LSB: return "ASIOSTFloat32LSB";
    case ASIOSTFloat64LSB: return "ASIOSTFloat64LSB";
    case ASIOSTInt32LSB16: return "ASIOSTInt32LSB16";
    case ASIOSTInt32LSB18: return "ASIOSTInt32LSB18";
    case ASIOSTInt32LSB20: return "ASIOSTInt32LSB20";
    case ASIOSTInt32LSB24: return "ASIOSTInt32LSB24";
    case ASIOSTDSDInt8LSB1: return "ASIOSTDSDInt8LSB1";
    case ASIOSTDSDInt8MSB1: return "ASIOSTDSDInt8MSB1";
    case ASIOSTDSDInt8NER8: return "ASIOSTDSDInt8NER8";
    default: return "sample type " + std::to_string(type);
  }
}

std::string IoFormatName(ASIOIoFormatType format) {
  switch (format) {
    case kASIOFormatInvalid: return "invalid";
    case kASIOPCMFormat: return "PCM";
    case kASIODSDFormat: return "DSD";
    default: return "format " + std::to_string(format);
  }
}

}  // namespace orvi::host
