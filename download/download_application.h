// The download application: one controller, one window, the main loop.
#pragma once

// Runs until the controller stops the loop: kApplicationStartedAgent,
// kApplicationLeftArchive, or 0 on failure.
int runDownloadApplication();
