// The tool's entry and its housekeeping mode.
#pragma once

#include "platform/platform.h"
#include "run/save_point_table.h"

// One whole run: works out the install folder, probes volume C: and runs the
// mode the driver's answer selects. Returns the process exit status.
int RunOnce();

// Housekeeping mode: deletes save points more than 30 days old. Takes over
// the volume and the table; both are released on every path out.
void ExpireSavePoints(platform::UniqueFile volume, SavePointTable table);
