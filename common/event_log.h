// The appliance's event log: newest entry first, at most 1000 lines.
#pragma once

// Adds one entry "date time source:message". Results: 0 written; 1 source or message too
// long; -2 log open/read/write failure; -3 temporary file failure; -4 no date or time;
// -5 lock not obtained; -6 lock not released.
int SetLogMsg(const char *source, const char *message);

// kind 1: "MM/DD/YYYY" (buffer of at least 11 bytes); any other kind: "HH:MM:SS" (at least
// 9 bytes), also passed to the system log. 0, or -1 when the time cannot be read.
int getDateTime(char *buffer, int kind);
