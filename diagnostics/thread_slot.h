// A text of the calling thread's own: null until the thread sets one.
#pragma once

const char* GetThreadText();
void SetThreadText(const char* text);
