// Tool approvals (hook requests, the NPC's row, events with given members) are helpers of the
// demo bridge's scenarios.
#pragma once

#include "harness/demo_bridge.h"
