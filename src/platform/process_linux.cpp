// The process facts of process.h on Linux: gettid, /proc/self/exe, and standard error while
// /proc/self/status names a tracer.
#include "platform/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Oxle::Client::Platform {

uint32_t CurrentThreadId() noexcept {
  return static_cast<uint32_t>(gettid());
}

size_t ReadExecutablePath(char* buffer, size_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  // readlink truncates silently, so a result that fills the room may be cut short.
  const ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
  if (length <= 0 || static_cast<size_t>(length) >= size - 1) {
    buffer[0] = '\0';  // readlink may have written part of the path
    return 0;
  }
  buffer[length] = '\0';
  return static_cast<size_t>(length);
}

bool IsDebuggerAttached() noexcept {
  const int file = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  // TracerPid is among the first lines; the whole file is well under this size.
  char text[4096];
  size_t filled = 0;
  while (filled < sizeof text) {
    const ssize_t got = read(file, text + filled, sizeof text - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  close(file);
  return StatusShowsTracer(std::string_view(text, filled));
}

void WriteDebuggerOutput(std::string_view text) noexcept {
  if (text.empty() || !IsDebuggerAttached()) return;
  while (!text.empty()) {
    const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace Oxle::Client::Platform
