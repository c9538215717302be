// The process facts of process.h on Windows: GetCurrentThreadId, GetModuleFileNameA of the
// image that holds this code (the module DLL, or the program it is linked into), and
// OutputDebugStringA while a debugger is attached.
#include "platform/process.h"

#include <windows.h>

#include <algorithm>

namespace Oxle::Client::Platform {

uint32_t CurrentThreadId() noexcept {
  return static_cast<uint32_t>(GetCurrentThreadId());
}

size_t ReadExecutablePath(char* buffer, size_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  HMODULE image = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&ReadExecutablePath), &image)) {
    return 0;
  }
  // Offered size - 1 characters, as readlink is on Linux: a result that fills the room was cut
  // short, so both platforms give up at the same length.
  const auto room = static_cast<DWORD>(std::min<size_t>(size - 1, MAXDWORD));
  const DWORD length = GetModuleFileNameA(image, buffer, room);
  if (length == 0 || length >= room) {
    buffer[0] = '\0';  // a cut path may have been written
    return 0;
  }
  buffer[length] = '\0';
  return length;
}

bool IsDebuggerAttached() noexcept {
  return IsDebuggerPresent() != FALSE;
}

void WriteDebuggerOutput(std::string_view text) noexcept {
  if (text.empty() || !IsDebuggerAttached()) return;
  // OutputDebugStringA takes NUL-terminated text: pass it on in pieces copied to the stack.
  char piece[512];
  while (!text.empty()) {
    const size_t count = std::min(text.size(), sizeof piece - 1);
    std::copy_n(text.data(), count, piece);
    piece[count] = '\0';
    OutputDebugStringA(piece);
    text.remove_prefix(count);
  }
}

}  // namespace Oxle::Client::Platform
