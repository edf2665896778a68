// Faults the native file stand-in can play: a file that another program holds
// open, so that replacing or deleting it fails.
#pragma once

// The next `replaces` replaces and `removes` deletes fail; also restarts the
// count of retry pauses.
void RefuseFileChanges(int replaces, int removes);
// Pauses taken before retries since the last RefuseFileChanges.
int RetryPauses();
