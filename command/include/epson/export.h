#pragma once

// The static libraries are compiled with hidden visibility; only the public classes are
// exported from the extension modules, so native callers can link against them while
// Asio and the Impl classes stay private to each shared library.
#if defined(_WIN32)
#define EPSON_API
#else
#define EPSON_API __attribute__((visibility("default")))
#endif
