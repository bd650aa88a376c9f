// Internals of the utilities, separate so that tests can point them at other files.
#pragma once

// send_to_printer on the device (or file) at `device`.
int send_to_printer_at(const char *device, const unsigned char *data, unsigned int length);
