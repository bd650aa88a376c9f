// The event log's writer on any pair of paths (the public SetLogMsg uses the fixed ones);
// separate so that the logic can be exercised on temporary files.
#pragma once

// Limits and result codes of the event log.
inline constexpr int kLogMaxLines = 1000;
inline constexpr int kLogMaxSource = 16;
inline constexpr int kLogMaxMessage = 80;

inline constexpr int kLogOk = 0;
inline constexpr int kLogTooLong = 1;
inline constexpr int kLogFileFail = -2;
inline constexpr int kLogTempFail = -3;
inline constexpr int kLogNoTime = -4;
inline constexpr int kLogLockFail = -5;
inline constexpr int kLogUnlockFail = -6;

// SetLogMsg with the log at `log_path` and its temporary file at `temp_path`.
int SetLogMsgAt(const char *log_path, const char *temp_path, const char *source,
                const char *message);
