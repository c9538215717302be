#include "plugin/trace_hook.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace Oxle::Client::Plugin {

namespace {
std::atomic<TraceHook> gTraceHook{nullptr};
}  // namespace

void SetTraceHook(TraceHook hook) noexcept {
  gTraceHook.store(hook, std::memory_order_release);
}

void Trace(const char* format, ...) noexcept {
  const TraceHook hook = gTraceHook.load(std::memory_order_acquire);
  if (hook == nullptr || format == nullptr) return;
  char text[4096];
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (written < 0) return;
  hook(text);
}

}  // namespace Oxle::Client::Plugin
