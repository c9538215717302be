// Facts about the running process for logging: the calling thread's id, the path of the
// executable image, and output to an attached debugger. process_linux.cpp and process_win.cpp
// hold each platform's half.
// Each function is a small, thread-safe read of the operating system's view; none allocates
// or keeps state. Not a general process-management layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Oxle::Client::Platform {

// The kernel's id of the calling thread (on Linux, the process id on the main thread).
[[nodiscard]] uint32_t CurrentThreadId() noexcept;

// The characters that end a folder in a path: '/' on Linux, '\\' and '/' on Windows.
#ifdef _WIN32
inline constexpr std::string_view kPathSeparators = "\\/";
#else
inline constexpr std::string_view kPathSeparators = "/";
#endif

// Writes the absolute path of the executable image into `buffer` (NUL-terminated) and returns
// its length. On Windows the image is the one holding this code: the module DLL, or the
// program it is linked into. Returns 0, with an empty text when size > 0, if the path is unknown or
// does not fit in size - 1 characters.
[[nodiscard]] size_t ReadExecutablePath(char* buffer, size_t size) noexcept;

// True when `statusText` (the contents of /proc/<pid>/status) names a non-zero TracerPid.
[[nodiscard]] bool StatusShowsTracer(std::string_view statusText) noexcept;

// True while a debugger (any tracer) is attached to the process. Reads /proc on each call on
// Linux; asks IsDebuggerPresent on Windows.
[[nodiscard]] bool IsDebuggerAttached() noexcept;

// The debugger's console: writes `text` while a debugger is attached (to standard error on
// Linux, through OutputDebugStringA on Windows), and does nothing otherwise.
void WriteDebuggerOutput(std::string_view text) noexcept;

}  // namespace Oxle::Client::Platform
