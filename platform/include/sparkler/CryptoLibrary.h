#pragma once

namespace sparkler {

/// Sets up OpenSSL for this process without its exit-time clean-up. Worker jobs (a check, a
/// download, a checksum) may still be inside OpenSSL when the application returns from main;
/// the clean-up would free the library's tables under them and crash the exit. Every user of
/// OpenSSL in the project calls this before its first OpenSSL call; later calls do nothing.
void initializeCryptoLibrary() noexcept;

}  // namespace sparkler
