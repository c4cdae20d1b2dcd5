// The parsed options, set once at start-up and read-only afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Config {
  std::string workspace;            // absolute, normalised default folder of new NPCs
  std::string claude;               // the agent CLI
  std::string model;                // "" means the CLI's own default
  std::vector<std::string> models;  // the menu offered in game
  std::string ask_tools = "Bash";   // tools the player approves under "ask"
  std::string host = "127.0.0.1";
  std::uint16_t port = 8787;
  double permission_timeout = 240.0;  // seconds
  bool keep_api_key = false;
  std::string self_exe = "quillhaven-bridge";
};

/// Stores the Config; called once by parse on the serve path.
void store_config(Config config);

/// The stored Config. Calling it before store_config stops the process with
/// "config set at startup".
const Config& config();

/// Replaces the port with the one the listener was bound to, so that a port of 0 ("any free
/// port") becomes the real one everywhere it is shown or handed to an agent. Called once on
/// the main thread after binding, before any other thread starts.
void store_bound_port(std::uint16_t port);

/// Sets the state file path; called once by parse on the serve path.
void store_state_file_path(std::string path);

/// The state file path. Reading it before it is set stops the process with
/// "state file set at startup".
const std::string& state_file_path();
