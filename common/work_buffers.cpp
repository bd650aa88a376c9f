#include "common/work_buffers.h"

char filebuffer[kFileBufferSize];
char linebuffer[kLineBufferSize];
char systembuffer[kSystemBufferSize];
