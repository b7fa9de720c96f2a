// Marks on the way from a launch to the first frame on the update port, for the benchmark that
// times that way: with ZR40_START_TRACE set (not empty), each mark writes the line
// "zr40-start <name> <ns>" to standard error, <ns> on the monotonic clock (std::chrono's
// steady_clock), so the process that launched the program can set the marks against its own
// clock. The first frame ends the trace; without the variable a mark costs one atomic load.
#pragma once

namespace starttrace {

// `pszName`: a short word without spaces.
void Mark(const char* pszName);

// The first frame was written: the mark "sent", and no mark after it.
void FirstFrame();

}  // namespace starttrace
