// Shared libraries loaded by path at run time, for hosts that load plugin modules: dlopen and
// dlsym on Linux (RTLD_NOW | RTLD_LOCAL), LoadLibraryW and GetProcAddress on Windows (the path
// taken as UTF-8). Failures come back as the system's own text. Thread-safe as the system calls
// are; a handle is closed once, by its owner.
#pragma once

#include <string>

namespace Oxle::Client::Platform {

// The library at `path`, loaded with every reference resolved, or null with the reason in
// `error`.
[[nodiscard]] void* OpenSharedLibrary(const std::string& path, std::string& error);

// The address of the export `name` of `library`, or null with the reason in `error`.
[[nodiscard]] void* FindLibrarySymbol(void* library, const std::string& name, std::string& error);

// Releases a handle from OpenSharedLibrary; null is ignored.
void CloseSharedLibrary(void* library) noexcept;

}  // namespace Oxle::Client::Platform
