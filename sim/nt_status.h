#pragma once
// The NTSTATUS values the simulated device answers with. Win32 callers see them
// as the platform maps them (RtlNtStatusToDosError), exactly as with a driver.
#include <windows.h>

namespace sim {

using NtStatus = LONG;

inline constexpr NtStatus kStatusSuccess = 0x00000000;
inline constexpr NtStatus kStatusPending = 0x00000103;
inline constexpr NtStatus kStatusBufferOverflow = static_cast<NtStatus>(0x80000005);  // ERROR_MORE_DATA
inline constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);    // ERROR_GEN_FAILURE
inline constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
inline constexpr NtStatus kStatusNoSuchDevice = static_cast<NtStatus>(0xC000000E);    // ERROR_FILE_NOT_FOUND
inline constexpr NtStatus kStatusInvalidDeviceRequest = static_cast<NtStatus>(0xC0000010);  // ERROR_INVALID_FUNCTION
inline constexpr NtStatus kStatusAccessDenied = static_cast<NtStatus>(0xC0000022);
inline constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023);  // ERROR_INSUFFICIENT_BUFFER
inline constexpr NtStatus kStatusObjectNameNotFound = static_cast<NtStatus>(0xC0000034);
inline constexpr NtStatus kStatusSharingViolation = static_cast<NtStatus>(0xC0000043);
inline constexpr NtStatus kStatusDeviceNotConnected = static_cast<NtStatus>(0xC000009D);
inline constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BB);
inline constexpr NtStatus kStatusCancelled = static_cast<NtStatus>(0xC0000120);      // ERROR_OPERATION_ABORTED
inline constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225);       // ERROR_NOT_FOUND
inline constexpr NtStatus kStatusPropsetNotFound = static_cast<NtStatus>(0xC0000230);  // ERROR_SET_NOT_FOUND

// Success and information statuses; warnings (the top bit set) are not.
inline bool IsSuccess(NtStatus s) { return s >= 0; }
// Error statuses (severity 3). A warning such as kStatusBufferOverflow still
// completes the request and reports its byte count.
inline bool IsError(NtStatus s) { return (static_cast<ULONG>(s) >> 30) == 3; }

// The Win32 error code a caller sees for `s`.
DWORD ToWin32Error(NtStatus s);

}  // namespace sim
