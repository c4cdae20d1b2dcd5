#pragma once

/// Thread body: every 2 seconds, a "usage" event for every NPC that is "working".
[[noreturn]] void usage_ticker();

/// One pass of the ticker (for tests).
void emit_usage_events();
