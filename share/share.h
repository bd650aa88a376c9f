// Sharing services: Windows networking (Samba) and AppleTalk (netatalk) configuration.
#pragma once

struct SambaInfo {
    char state[8];
    char workgroup[16];
    char code_page[6];
    char printer_name[13];
    char printer_comment[81];
    char wins_server[16];
};

struct AtalkInfo {
    char state[8];
    char zone[33];
    char printer_name[13];
    char printer_type[33];
    char printer_client[33];
};

// Whether a workgroup / zone goes into its file unchanged (else the writers replace what the
// file cannot hold, see share_io.h): callers that must not store a text the files would
// change refuse it instead.
bool SMBWorkgroupIsSafe(const char *workgroup);
bool APPLEZoneIsSafe(const char *zone);

int SMBSetSamba(SambaInfo *info);
int SMBWriteSambaData(SambaInfo *info);
int SMBWriteSambaPrinterData(SambaInfo *info);

int APPLESetNetatalk(AtalkInfo *info);
int APPLEWriteNetatalkData(AtalkInfo *info);
int APPLEWriteNetatalkPrinterData(AtalkInfo *info);
