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

// String-table ids of the step messages and boxes.
inline constexpr int kMsgUnsupportedCommand = 119;
inline constexpr int kMsgPort = 120;
inline constexpr int kMsgCommand = 122;
inline constexpr int kMsgCommandBytes = 123;
inline constexpr int kMsgTimer = 124;
inline constexpr int kMsgWaitSection = 125;
inline constexpr int kMsgD1Unsupported = 126;
inline constexpr int kMsgD2Command = 127;
inline constexpr int kMsgCommandFrame = 128;
inline constexpr int kMsgD2Start = 129;
inline constexpr int kMsgFileName = 130;
inline constexpr int kMsgWaitSeconds = 131;
inline constexpr int kMsgD2OpenError = 132;
inline constexpr int kMsgReadError = 133;
inline constexpr int kMsgD2End = 134;
inline constexpr int kMsgSendTime = 135;
inline constexpr int kMsgSendCount = 136;
inline constexpr int kMsgLmStart = 137;
inline constexpr int kMsgLmOpenError = 138;
inline constexpr int kMsgLmFormatError = 139;
inline constexpr int kMsgLmEnd = 142;
inline constexpr int kMsgReceiveError = 143;
inline constexpr int kMsgTimeout = 144;
inline constexpr int kMsgSameVersion = 153;
inline constexpr int kMsgVersionDefinition = 154;
inline constexpr int kMsgNoDefinition = 155;
inline constexpr int kMsgDownloadVersion = 156;
inline constexpr int kMsgDataReceived = 160;
inline constexpr int kMsgData = 161;
inline constexpr int kMsgChecksumError = 162;
inline constexpr int kMsgCommandFormat = 181;
inline constexpr int kMsgSystemError = 207;
inline constexpr int kMsgRunFailed = 208;
