// Read settings (0x10): the stored values and the pure packing of the reply.
#pragma once

#include <cstddef>
#include <cstdint>

// The 16 keys as read from the configuration file; each buffer has the size the read allows
// (a value must be shorter than its buffer).
struct StoredSettings {
    char version[10];
    char default_name[15];
    char server_name[15];
    char description[49];
    char bootproto[7];
    char ip_addr[16];
    char netmask[16];
    char gateway[16];
    char dhcp_server[4];
    char dhcp_start_ip[16];
    char dhcp_end_ip[16];
    char workgroup[16];
    char zone[33];
    char time_zone[5];
    char wins_enable[4];
    char wins_server[16];
};

// Reads the 16 keys in order (the caller holds the shared lock). 0, or at the first failure
// the key's status with its event-log message in *message.
int ReadStoredSettings(StoredSettings &settings, const char **message);

// Version, default name, MAC address, server name and description into the reply.
void PackSettingsNames(std::uint8_t *reply, const StoredSettings &settings,
                       const std::uint8_t *mac);
// The two lines printed by the clock program, into the date and time fields.
void PackDateTime(std::uint8_t *reply, const char *date_line, const char *time_line);
// Address mode, addresses, DHCP server, workgroup, zone, time zone and WINS, in order. 0, or
// -302 with the message of the first address that does not convert (later fields stay zero).
int PackSettingsAddresses(std::uint8_t *reply, const StoredSettings &settings,
                          const char **message);

// Results of ReadDateFile.
inline constexpr int kDateFileOk = 0;
inline constexpr int kDateFileOpenFail = -1;  // cannot be opened, or not a plain file
inline constexpr int kDateFileNoDate = -2;    // no first line
inline constexpr int kDateFileNoTime = -3;    // no second line
// Reads the two lines the clock program wrote into `path` (each cut to size - 1 characters).
// The file lies in a folder anyone may write to, so only a regular file with a single name,
// owned by this process's user (the agent: root) and writable by nobody else, is read: a
// symbolic link is never followed, a FIFO never waited on, a hard link to some other file
// never read, a file another user made or can write never trusted.
int ReadDateFile(const char *path, char *date_line, char *time_line, std::size_t size);
// Removes what stands at the date file's path (before the clock program makes it afresh).
void RemoveDateFile(const char *path);
