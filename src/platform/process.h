// Facts about the running process for logging: the calling thread's id, the path of the
// executable image, and output to an attached debugger.
// Each function is a small, thread-safe read of the operating system's view; none allocates
// or keeps state. Not a general process-management layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Oxle::Client::Platform {

// The kernel's id of the calling thread (the process id on the main thread).
[[nodiscard]] uint32_t CurrentThreadId() noexcept;

// Writes the absolute path of the executable image into `buffer` (NUL-terminated) and returns
// its length. Returns 0, with an empty text when size > 0, if the path is unknown or does not
// fit in size - 1 characters.
[[nodiscard]] size_t ReadExecutablePath(char* buffer, size_t size) noexcept;

// True when `statusText` (the contents of /proc/<pid>/status) names a non-zero TracerPid.
[[nodiscard]] bool StatusShowsTracer(std::string_view statusText) noexcept;

// True while a debugger (any tracer) is attached to the process. Reads /proc on each call.
[[nodiscard]] bool IsDebuggerAttached() noexcept;

// The debugger's console: writes `text` to standard error while a debugger is attached, and
// does nothing otherwise.
void WriteDebuggerOutput(std::string_view text) noexcept;

}  // namespace Oxle::Client::Platform
