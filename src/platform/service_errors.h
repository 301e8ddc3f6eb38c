// The system error codes that the daemon's service commands and service host
// print and report. They keep the values of the Windows service manager, so
// that messages read the same on every platform; on Linux the service
// manager is systemd and these are the codes its failures map to.
#pragma once

#include <cstdint>

namespace vexa::platform {

using SystemErrorCode = uint32_t;

inline constexpr SystemErrorCode kErrorSuccess = 0;
inline constexpr SystemErrorCode kErrorFileNotFound = 2;
inline constexpr SystemErrorCode kErrorPathNotFound = 3;
inline constexpr SystemErrorCode kErrorAccessDenied = 5;
inline constexpr SystemErrorCode kErrorNotEnoughMemory = 8;
inline constexpr SystemErrorCode kErrorGenFailure = 31;
inline constexpr SystemErrorCode kErrorDiskFull = 112;
inline constexpr SystemErrorCode kErrorBadPathname = 161;
inline constexpr SystemErrorCode kErrorServiceAlreadyRunning = 1056;
inline constexpr SystemErrorCode kErrorServiceDisabled = 1058;
inline constexpr SystemErrorCode kErrorServiceDoesNotExist = 1060;
inline constexpr SystemErrorCode kErrorServiceCannotAcceptControl = 1061;
inline constexpr SystemErrorCode kErrorServiceNotActive = 1062;
inline constexpr SystemErrorCode kErrorFailedServiceControllerConnect = 1063;
inline constexpr SystemErrorCode kErrorExceptionInService = 1064;
inline constexpr SystemErrorCode kErrorServiceSpecificError = 1066;
inline constexpr SystemErrorCode kErrorServiceExists = 1073;
inline constexpr SystemErrorCode kErrorServiceNotInExe = 1083;

#ifndef _WIN32
// Maps an errno value to the nearest of the codes above (kErrorGenFailure
// when none fits). Windows reports its codes itself.
SystemErrorCode systemErrorFromErrno(int error);
#endif

}  // namespace vexa::platform
