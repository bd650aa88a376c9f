// What a test sees of the simulated appliance it runs in (see sim/appliance).
#pragma once

#include <string>
#include <vector>

namespace sim {

inline constexpr char kCallsLog[] = "/var/log/sim/calls";  // one line per stand-in call
inline constexpr char kSyslog[] = "/var/log/sim/syslog";   // every system-log message
inline constexpr char kPcNetns[] = "/run/sim/pc.net";      // the PC's network namespace
inline constexpr char kPcAddress[] = "192.168.0.10";
inline constexpr char kApplianceAddress[] = "192.168.0.2";
inline constexpr char kApplianceMac[] = "00:C0:02:1A:2B:3C";
inline constexpr char kApplianceHostname[] = "JX1A2B3C";

// True inside `sim/appliance run`; tests that need the appliance skip themselves otherwise.
bool Inside();

// Source and build folders of this run (as given to the simulator).
std::string SourceDir();
std::string BuildDir();

// The CPU of the appliance's programs (sim/appliance --target): "" for this machine's, else
// the target's name ("armel", "mips"), whose programs run under an emulator.
std::string Target();
// A file of this build (a library preloaded into the programs, a writer program) as built for
// the programs' CPU: the same file of the target's build on a cross run, else `path` itself.
std::string TargetBuilt(const std::string &path);
// The command words that run a program of this build as built for the programs' CPU (the
// emulator in front of it on a cross run).
std::vector<std::string> TargetProgram(const std::string &path);
// The number the programs' CPU gives to an error (EADDRINUSE is 98 here, 125 on MIPS); only
// the errors that the tests look for in what the programs report.
int TargetErrno(int error);

std::string Calls();   // the calls log so far
std::string Syslog();  // the captured system log so far
void ClearLogs();      // empties both

// Waits until `text` shows up in the captured system log (true) or the time runs out.
bool WaitForSyslog(const std::string &text, int timeout_ms = 3000);

// A socket created in the PC's network namespace (the calling thread's own namespace is
// restored before it returns); -1 on failure.
int PcSocket(int domain, int type, int protocol);

// Runs a shell command on the PC side of the simulated LAN; exit status and its output.
int RunOnPc(const std::string &command, std::string *out = nullptr);

// A full disk: mounts a fresh tmpfs of `kib` KiB over `folder` (gone with the appliance of the
// test case), and fills a file system up to its last byte with `folder`/filler. True on
// success.
bool MountSmallTmpfs(const std::string &folder, int kib);
bool FillDisk(const std::string &folder);

// The real readers of the files the appliance writes, run on them in place.
// Samba's testparm on /etc/smb.conf: the value of `parameter` as Samba reads it. The
// appliance runs an older Samba generation: today's refuses its "security = share" (left out
// of the copy it checks) and does not know "client code page". *complaints gets every other
// line of unknown, invalid or ignored settings and errors; *ok whether testparm accepted it.
std::string SambaReads(const std::string &parameter, std::string *complaints, bool *ok);
// The line printer system's lpc: the first line of `lpc status QUEUE` for the printcap
// ("QUEUE:" when it knows the queue).
std::string LpcStatus(const std::string &queue);

}  // namespace sim
