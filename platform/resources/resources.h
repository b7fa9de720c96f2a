// Resources carried inside the program image, addressed by type and number.
//
// The build links each resource in place (see cmake/Resources.cmake); nothing is unpacked to
// disk and lookups return views into the image that live as long as the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::resources {

struct Entry {
    const char* type;  // upper case, e.g. "INI", "DATA", "STRING"
    int number;
    const unsigned char* data;
    std::size_t size;
};

using Bytes = std::span<const std::uint8_t>;

// Called by generated code during static initialisation; later registrations win on clashes.
void Register(const Entry* entries, std::size_t count) noexcept;

// Drops a table given to Register; tests use it to lay their own texts over the shipped ones.
void Unregister(const Entry* entries) noexcept;

// Registers one resource for the lifetime of the object (tests and tools).
class ScopedResource {
  public:
    ScopedResource(const char* type, int number, std::span<const std::uint8_t> bytes) noexcept
        : entry_{type, number, bytes.data(), bytes.size()} {
        Register(&entry_, 1);
    }
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;
    ~ScopedResource() { Unregister(&entry_); }

  private:
    Entry entry_;
};

// Type names compare without regard to case, as resource types do.
std::optional<Bytes> Find(std::string_view type, int number);

// Numbers of all resources of a type, ascending.
std::vector<int> Numbers(std::string_view type);

// A string-table text (code page 932 bytes, no terminator inside the view); empty when absent.
std::string_view LoadString(int id);

// A value of the program's VERSION resource (`ProductVersion`, `LegalCopyright`), as stored;
// empty when the program carries none or the key has no value.
std::string VersionValue(std::string_view key);

// What --version prints: "<program> <ProductVersion>", then the copyright line.
std::string VersionText(std::string_view program);

// A first argument "--help" prints `help`, "--version" the version text, both to standard output;
// the exit code then. Nothing for any other command line, which is the program's own.
std::optional<int> AnswerHelpOrVersion(int argc, char** argv, std::string_view program,
                                       std::string_view help);

}  // namespace platform::resources
