// Threads started the way the C runtime starts them, so the system's error for
// a failed start can be reported. The DLL links the Win32 adapter; native tests
// link a stand-in on std::thread that can be told to fail.
#pragma once

using ThreadHandle = void*;
using ThreadBody = unsigned (*)(void* argument);

// Starts body(argument) on a new thread with the default stack size, running at
// once. Null when the thread could not be created.
ThreadHandle BeginThread(ThreadBody body, void* argument);
// Waits for the thread to end and releases the handle.
void JoinThread(ThreadHandle thread);
// Releases the handle; the thread runs on by itself.
void DetachThread(ThreadHandle thread);
