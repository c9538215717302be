// shared_library.h on Linux: dlopen, dlsym and dlclose, with dlerror's text.
#include "platform/shared_library.h"

#include <dlfcn.h>

namespace Oxle::Client::Platform {

void* OpenSharedLibrary(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "unknown";
  }
  return library;
}

void* FindLibrarySymbol(void* library, const std::string& name, std::string& error) {
  dlerror();
  void* symbol = dlsym(library, name.c_str());
  const char* reason = dlerror();
  if (reason != nullptr || symbol == nullptr) {
    error = reason != nullptr ? reason : "the symbol is null";
    return nullptr;
  }
  return symbol;
}

void CloseSharedLibrary(void* library) noexcept {
  if (library != nullptr) dlclose(library);
}

}  // namespace Oxle::Client::Platform
