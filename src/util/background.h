// Work that can wait, done in order on one thread of its own, so that whoever hands it over
// (an agent's output reader, above all) goes on at once.
#pragma once

#include <functional>

/// Queues `job`; jobs run one after another, in the order given. When the worker thread
/// cannot be started, the job runs here instead.
void run_later(std::function<void()> job);
