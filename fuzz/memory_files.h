// Files in memory for the fuzz targets: the cache's file calls and the log's
// file, without a system call per run.
#pragma once

// Forgets every file.
void MemoryFilesReset();
