#pragma once

// The static libraries are compiled with hidden visibility; only the public classes are
// exported from the extension modules, so native callers can link against them while
// Asio and the Impl classes stay private to each shared library.
#if defined(_WIN32)
#define EPSON_API
#define EPSON_LOCAL
#else
#define EPSON_API __attribute__((visibility("default")))
// For the private Impl classes nested in exported classes, which would otherwise inherit the
// default visibility of their enclosing class.
#define EPSON_LOCAL __attribute__((visibility("hidden")))
#endif
