// The framework's trace points ("<plugin>: Sending event: <name>" and the like). They go to one
// process-wide hook, which discards them unless something (a debugging session, a test) has set
// one; without a hook nothing is formatted. Traces are not log messages.
#pragma once

namespace Oxle::Client::Plugin {

// Receives each formatted trace line (at most 4095 characters); must be safe from any thread.
using TraceHook = void (*)(const char* text);

// Replaces the hook; null restores the discarding default.
void SetTraceHook(TraceHook hook) noexcept;

// Formats a printf-style trace and hands it to the hook.
void Trace(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace Oxle::Client::Plugin
