#include <cstdio>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/util.h"
#include "common/util_internal.h"

int send_to_printer_at(const char *device, const unsigned char *data, unsigned int length) {
    UniqueFile port(std::fopen(device, "r+be"));
    if (!port) {
        return -1;
    }
    for (unsigned int i = 0; i < length; ++i) {
        if (std::fputc(data[i], port.get()) == EOF) {
            return -1;
        }
    }
    // The bytes sit in the stream's buffer until here: a device that refuses them (full,
    // unplugged, an I/O error) shows it only when they are flushed or the port is closed.
    const bool flushed = std::fflush(port.get()) == 0 && std::ferror(port.get()) == 0;
    const bool closed = port.reset() == 0;
    return flushed && closed ? 0 : -1;
}

int send_to_printer(const unsigned char *data, unsigned int length) {
    return send_to_printer_at(paths::kPrinterDevice, data, length);
}
