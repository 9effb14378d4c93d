#pragma once
// The ASIO driver interface as hosts call it: IASIO, its types, sample types,
// selectors and result codes. Binary layout of 64-bit (and 32-bit) Windows
// hosts: ASIO's integer type is 32 bits there, structures use natural alignment.
#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <cstdint>

using ASIOBool = int32_t;
using ASIOError = int32_t;
using ASIOSampleRate = double;
using ASIOSampleType = int32_t;

inline constexpr ASIOBool ASIOFalse = 0;
inline constexpr ASIOBool ASIOTrue = 1;

// Result codes.
enum : ASIOError {
  ASE_OK = 0,
  ASE_SUCCESS = 0x3F4847A0,  // future(): the selector is supported
  ASE_NotPresent = -1000,
  ASE_HWMalfunction = -999,
  ASE_InvalidParameter = -998,
  ASE_InvalidMode = -997,
  ASE_SPNotAdvancing = -996,
  ASE_NoClock = -995,
  ASE_NoMemory = -994,
};

// 64-bit counts as two 32-bit halves.
struct ASIOSamples {
  uint32_t hi;
  uint32_t lo;
};
struct ASIOTimeStamp {
  uint32_t hi;
  uint32_t lo;
};

inline uint64_t AsioValue(const ASIOSamples& s) { return (uint64_t{s.hi} << 32) | s.lo; }
inline uint64_t AsioValue(const ASIOTimeStamp& t) { return (uint64_t{t.hi} << 32) | t.lo; }
inline ASIOSamples ToAsioSamples(uint64_t v) { return {static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)}; }
inline ASIOTimeStamp ToAsioTimeStamp(uint64_t v) {
  return {static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)};
}

// Sample types.
enum : ASIOSampleType {
  ASIOSTInt16MSB = 0,
  ASIOSTInt24MSB = 1,
  ASIOSTInt32MSB = 2,
  ASIOSTFloat32MSB = 3,
  ASIOSTFloat64MSB = 4,
  ASIOSTInt32MSB16 = 8,
  ASIOSTInt32MSB18 = 9,
  ASIOSTInt32MSB20 = 10,
  ASIOSTInt32MSB24 = 11,
  ASIOSTInt16LSB = 16,
  ASIOSTInt24LSB = 17,
  ASIOSTInt32LSB = 18,
  ASIOSTFloat32LSB = 19,
  ASIOSTFloat64LSB = 20,
  ASIOSTInt32LSB16 = 24,
  ASIOSTInt32LSB18 = 25,
  ASIOSTInt32LSB20 = 26,
  ASIOSTInt32LSB24 = 27,
  ASIOSTDSDInt8LSB1 = 32,
  ASIOSTDSDInt8MSB1 = 33,
  ASIOSTDSDInt8NER8 = 40,
};

struct ASIOClockSource {
  int32_t index;
  int32_t associatedChannel;
  int32_t associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

struct ASIOChannelInfo {
  int32_t channel;
  ASIOBool isInput;
  ASIOBool isActive;
  int32_t channelGroup;
  ASIOSampleType type;
  char name[32];
};

struct ASIOBufferInfo {
  ASIOBool isInput;
  int32_t channelNum;
  void* buffers[2];  // the two halves, filled by the driver
};

// Time information of one buffer switch.
enum : uint32_t {
  kSystemTimeValid = 1,
  kSamplePositionValid = 1 << 1,
  kSampleRateValid = 1 << 2,
  kSpeedValid = 1 << 3,
  kSampleRateChanged = 1 << 4,
  kClockSourceChanged = 1 << 5,
};

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  uint32_t flags;
  char reserved[12];
};

enum : uint32_t {
  kTcValid = 1,
  kTcRunning = 1 << 1,
  kTcReverse = 1 << 2,
  kTcOnspeed = 1 << 3,
  kTcStill = 1 << 4,
  kTcSpeedValid = 1 << 8,
};

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  uint32_t flags;
  char future[64];
};

struct ASIOTime {
  int32_t reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};

// Host callbacks given to createBuffers.
struct ASIOCallbacks {
  void (*bufferSwitch)(long doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  long (*asioMessage)(long selector, long value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, long doubleBufferIndex, ASIOBool directProcess);
};

// asioMessage selectors.
enum : long {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion,
  kAsioResetRequest,
  kAsioBufferSizeChange,
  kAsioResyncRequest,
  kAsioLatenciesChanged,
  kAsioSupportsTimeInfo,
  kAsioSupportsTimeCode,
  kAsioMMCCommand,
  kAsioSupportsInputMonitor,
  kAsioSupportsInputGain,
  kAsioSupportsInputMeter,
  kAsioSupportsOutputGain,
  kAsioSupportsOutputMeter,
  kAsioOverload,
  kAsioNumMessageSelectors,
};

// future() selectors.
enum : long {
  kAsioEnableTimeCodeRead = 1,
  kAsioDisableTimeCodeRead,
  kAsioSetInputMonitor,
  kAsioTransport,
  kAsioSetInputGain,
  kAsioGetInputMeter,
  kAsioSetOutputGain,
  kAsioGetOutputMeter,
  kAsioCanInputMonitor,
  kAsioCanTimeInfo,
  kAsioCanTimeCode,
  kAsioCanTransport,
  kAsioCanInputGain,
  kAsioCanInputMeter,
  kAsioCanOutputGain,
  kAsioCanOutputMeter,
  kAsioOptionalOne,
  kAsioSetIoFormat = 0x23111961,
  kAsioGetIoFormat = 0x23111983,
  kAsioCanDoIoFormat = 0x23112004,
};

// The I/O format selected through future(kAsioSetIoFormat).
using ASIOIoFormatType = int32_t;
enum : ASIOIoFormatType {
  kASIOFormatInvalid = -1,
  kASIOPCMFormat = 0,
  kASIODSDFormat = 1,
};

struct ASIOIoFormat {
  ASIOIoFormatType FormatType;
  char future[512 - sizeof(ASIOIoFormatType)];
};

// The driver object's interface. Hosts call through the virtual table in this
// order, right after IUnknown's three slots; `long` is 32 bits on Windows.
struct IASIO : public IUnknown {
  virtual ASIOBool STDMETHODCALLTYPE init(void* sysHandle) = 0;
  virtual void STDMETHODCALLTYPE getDriverName(char* name) = 0;
  virtual long STDMETHODCALLTYPE getDriverVersion() = 0;
  virtual void STDMETHODCALLTYPE getErrorMessage(char* string) = 0;
  virtual ASIOError STDMETHODCALLTYPE start() = 0;
  virtual ASIOError STDMETHODCALLTYPE stop() = 0;
  virtual ASIOError STDMETHODCALLTYPE getChannels(long* numInputChannels, long* numOutputChannels) = 0;
  virtual ASIOError STDMETHODCALLTYPE getLatencies(long* inputLatency, long* outputLatency) = 0;
  virtual ASIOError STDMETHODCALLTYPE getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                                     long* granularity) = 0;
  virtual ASIOError STDMETHODCALLTYPE canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError STDMETHODCALLTYPE getSampleRate(ASIOSampleRate* sampleRate) = 0;
  virtual ASIOError STDMETHODCALLTYPE setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError STDMETHODCALLTYPE getClockSources(ASIOClockSource* clocks, long* numSources) = 0;
  virtual ASIOError STDMETHODCALLTYPE setClockSource(long reference) = 0;
  virtual ASIOError STDMETHODCALLTYPE getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
  virtual ASIOError STDMETHODCALLTYPE getChannelInfo(ASIOChannelInfo* info) = 0;
  virtual ASIOError STDMETHODCALLTYPE createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                                     ASIOCallbacks* callbacks) = 0;
  virtual ASIOError STDMETHODCALLTYPE disposeBuffers() = 0;
  virtual ASIOError STDMETHODCALLTYPE controlPanel() = 0;
  virtual ASIOError STDMETHODCALLTYPE future(long selector, void* opt) = 0;
  virtual ASIOError STDMETHODCALLTYPE outputReady() = 0;
};

// The layouts hosts depend on.
static_assert(sizeof(long) == 4, "ASIO's long is 32 bits on Windows");
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOChannelInfo) == 52 && offsetof(ASIOChannelInfo, type) == 16 &&
              offsetof(ASIOChannelInfo, name) == 20);
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void*) && offsetof(ASIOBufferInfo, buffers) == 8);
static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void*));
static_assert(sizeof(AsioTimeInfo) == 48 && offsetof(AsioTimeInfo, sampleRate) == 24 &&
              offsetof(AsioTimeInfo, flags) == 32);
static_assert(sizeof(ASIOTimeCode) == 88 && offsetof(ASIOTimeCode, flags) == 16 &&
              offsetof(ASIOTimeCode, future) == 20);
static_assert(sizeof(ASIOTime) == 152 && offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64);
static_assert(sizeof(ASIOIoFormat) == 512);
