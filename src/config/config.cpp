#include "config/config.h"

#include <cstdio>
#include <memory>

#include "util/process_exit.h"

namespace {

// Both holders are written on the main thread before any other thread exists (the Config's
// port once more after binding), and only read afterwards, so they need no lock.
std::unique_ptr<Config> stored_config;
std::unique_ptr<std::string> stored_state_file;

[[noreturn]] void unset(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  exit_process(70);
}

}  // namespace

void store_config(Config config) { stored_config = std::make_unique<Config>(std::move(config)); }

const Config& config() {
  if (!stored_config) unset("config set at startup");
  return *stored_config;
}

void store_bound_port(std::uint16_t port) {
  if (!stored_config) unset("config set at startup");
  stored_config->port = port;
}

void store_state_file_path(std::string path) {
  stored_state_file = std::make_unique<std::string>(std::move(path));
}

const std::string& state_file_path() {
  if (!stored_state_file) unset("state file set at startup");
  return *stored_state_file;
}
