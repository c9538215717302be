// shared_library.h on Windows: LoadLibraryW of the UTF-8 path, GetProcAddress and FreeLibrary,
// with the system's message for GetLastError.
#include "platform/shared_library.h"

#include <windows.h>

namespace Oxle::Client::Platform {
namespace {

// The system's text for the calling thread's last error, without its line break, and the code.
std::string LastErrorText() {
  const DWORD code = GetLastError();
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    --length;
  }
  std::string message(text, length);
  if (!message.empty()) message += ' ';
  return message + "(error " + std::to_string(code) + ")";
}

}  // namespace

void* OpenSharedLibrary(const std::string& path, std::string& error) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                       static_cast<int>(path.size()), nullptr, 0);
  if (size <= 0 && !path.empty()) {
    error = "the path is not UTF-8";
    return nullptr;
  }
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), size);
  HMODULE library = LoadLibraryW(wide.c_str());
  if (library == nullptr) error = LastErrorText();
  return reinterpret_cast<void*>(library);
}

void* FindLibrarySymbol(void* library, const std::string& name, std::string& error) {
  const FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library), name.c_str());
  if (symbol == nullptr) {
    error = LastErrorText();
    return nullptr;
  }
  return reinterpret_cast<void*>(symbol);
}

void CloseSharedLibrary(void* library) noexcept {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace Oxle::Client::Platform
