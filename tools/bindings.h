// The calls behind the subcommands: each checks its arguments, throwing UsageError, and binds
// them into an Action that makes one call through the C++ companion and reports its answer.
#pragma once

#include "commands.h"

namespace cropassist::bindings {

Action isInitialized(const Arguments& arguments);
Action isEnabled(const Arguments& arguments);
Action setEnabled(const Arguments& arguments);
Action getMode(const Arguments& arguments);
Action getModeEffective(const Arguments& arguments);
Action setMode(const Arguments& arguments);
Action isModeSupported(const Arguments& arguments);
Action isAdjustmentActive(const Arguments& arguments);
Action isAutoZoomEnabled(const Arguments& arguments);
Action setAutoZoomEnabled(const Arguments& arguments);
Action getCurHomePt(const Arguments& arguments);
Action setHomePt(const Arguments& arguments);
Action setCurPtAsHome(const Arguments& arguments);
Action triggerHome(const Arguments& arguments);
Action isUploadCrashReportsEnabled(const Arguments& arguments);
Action setUploadCrashReportsEnabled(const Arguments& arguments);
Action getFrameRois(const Arguments& arguments);
Action getLastFrameRois(const Arguments& arguments);
Action getDevices(const Arguments& arguments);
Action getDeviceInfo(const Arguments& arguments);

}  // namespace cropassist::bindings
