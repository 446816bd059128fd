#ifndef FENNICK_HOST_HOST_FACTS_H_
#define FENNICK_HOST_HOST_FACTS_H_

#include <filesystem>
#include <string>

// "Windows M.m.b", or empty when the version cannot be read (always empty on Linux).
std::string GetOsVersionText();

// The executable's file version "a.b.c.d", else "pe-%08X" of its PE link time stamp,
// else "unknown". Never empty.
std::string GetAppVersionText(const std::filesystem::path& executable);

#endif  // FENNICK_HOST_HOST_FACTS_H_
