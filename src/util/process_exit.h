#pragma once

/// The one way the process ends: flushes standard output and error and calls std::_Exit, so
/// that no static destructor runs while detached threads still use shared state. When two
/// threads ask at once, the first ends the process and the second never returns.
[[noreturn]] void exit_process(int status);
