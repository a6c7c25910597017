// Logger and /proc writer provided by the host process.
#ifndef PELK_LOG_H
#define PELK_LOG_H

#include <string>

// Log levels used by the library: 3 for failures, 4 for notices.
enum { PELK_LOG_ERR = 3, PELK_LOG_NOTICE = 4 };

// Logs one printf-style message. error_number is an errno value or 0; when it
// is non-zero the host appends its description. The seventh argument is
// reserved and passed as 0. The result carries no meaning for the library.
int logInternal(const char* module, const char* file, const char* function, int line, int level, int error_number,
                int reserved, const char* format, ...) __attribute__((format(printf, 8, 9)));

// Writes text (no newline added) into an existing file such as a /proc
// entry. Non-zero when the whole text was written.
int writeProc(const std::string& path, const std::string& text);

#endif
