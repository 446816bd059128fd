#ifndef FENNICK_HOST_HOST_FACTS_H_
#define FENNICK_HOST_HOST_FACTS_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// "Windows M.m.b", or empty when the version cannot be read (always empty on Linux).
std::string GetOsVersionText();

// The executable's file version "a.b.c.d", else "pe-%08X" of its PE link time stamp,
// else "unknown". Never empty.
std::string GetAppVersionText(const std::filesystem::path& executable);

// The link time stamp from the PE file header of an image held in memory (the fallback's
// reader, on bytes), or nullopt when it is no PE image that reaches that far.
std::optional<uint32_t> ParsePeTimeStamp(std::string_view image);

#endif  // FENNICK_HOST_HOST_FACTS_H_
