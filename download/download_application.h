// The download application: one controller, one window, the main loop.
#pragma once

// Runs until the controller stops the loop. kApplicationStartedAgent when
// the agent was started, 1 when the archive waits at downloadTo, 0 on failure.
int runDownloadApplication();
