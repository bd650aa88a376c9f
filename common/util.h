// Address conversions, the debug trace, the printer port and small file operations.
#pragma once

#include <cstddef>
#include <cstdio>

// 4 bytes (first octet first) to dotted text; text must hold 16 bytes. Always 0.
int tran_IPArea_DOTString(const unsigned char *area, char *text);
// Dotted text (any form inet_aton takes) to 4 bytes; empty text gives 0.0.0.0.
// 0, or -1 when the text is no address (area untouched).
int tran_DOTString_IPArea(unsigned char *area, const char *text);
// Length of the address part of a text: its leading run of digits and dots. Address texts
// from the settings file are written into system files only that far, so that whatever
// follows ("1.2.3.4; reboot", a second word, an option) never reaches the file.
std::size_t address_text_length(const char *text);

// One trace line "[tag]::<<message>>" to the system log (and standard error).
void NETDebugMsg(const char *tag, const char *message);

// Writes length bytes to the printer port. 0, or -1 when the port cannot be opened or a
// write fails, also one that shows only when the stream is flushed or closed.
int send_to_printer(const unsigned char *data, unsigned int length);

// Appends "key=value\n" at the end of the stream. 0, or -2 on write failure.
int put_string(FILE *stream, const char *key, const char *value);
// Creates the file empty (mode 0644), or empties it (its mode kept). 0, or -1.
int create_file(const char *path);
// Gives the file to the named user and group. 0, or -1.
int change_file_owner(const char *path, const char *user, const char *group);
