// The names and ids that the threads of a run and their owner must spell alike: named events are
// process-wide, so a thread finds another's event only by its exact name (Loader/THREADS.md).
#pragma once

#include <cstdint>

// Automatic reset: bytes are waiting on the update port, or a wait was registered.
inline constexpr char kReadEventName[] = "READ_EVENT";
// Prefixes of the per-thread events; the suffix is the section name.
inline constexpr char kKillEventPrefix[] = "KILL_EVENT_";
inline constexpr char kRecvEventPrefix[] = "RECV_EVENT_";
inline constexpr char kWaitSectionEventPrefix[] = "WAIT_SECTIONL_EVENT_";
// The receive thread's stop event is kKillEventPrefix + this suffix; the port watches it too.
inline constexpr char kReceiveThreadSuffix[] = "RECV";
inline constexpr char kReceiveKillEventName[] = "KILL_EVENT_RECV";

// Window messages the threads post to their owner.
inline constexpr std::uint32_t WM_LOADER_END = 0x0410;
inline constexpr std::uint32_t WM_LOADER_PROGRESS = 0x8001;

// String-table ids that more than one layer shows.
inline constexpr int kMsgUnsupportedCommand = 119;
inline constexpr int kMsgSystemError = 207;
inline constexpr int kMsgRunFailed = 208;
