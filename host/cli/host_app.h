// RunHost: the whole of tpk-host behind a testable interface. It parses the command line, loads
// and starts the modules, publishes the resources file, serves them (HostServer), writes the run
// file, then waits for SIGINT or SIGTERM and shuts down in order: stop accepting and finish the
// requests in progress, unload every module (which cancels their jobs and waits for those
// running), remove the run file. It blocks SIGINT and SIGTERM in the calling thread (call it
// before any other thread exists) and takes them with sigwait; no work runs in a signal handler.
#pragma once

#include <ostream>
#include <span>
#include <string>

#include "binding/value/binding_property.h"
#include "result/host_result.h"

namespace Oxle::Client::Host::Cli {

// Reads a resources file: JSON when its name ends in ".json", YAML otherwise. Its root must be a
// map from URI to value. The message of a failure names the file.
[[nodiscard]] Result<Binding::BindingProperty> ReadResourcesFile(const std::string& path);

// Runs tpk-host; `args` excludes the program name. Returns the exit code (cli_options.h).
[[nodiscard]] int RunHost(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace Oxle::Client::Host::Cli
