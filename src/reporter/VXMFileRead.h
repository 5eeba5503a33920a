#pragma once
// Reading a crash-time record back at the next start, into platform::Value:
// hashes become dictionaries, numbers unsigned 64-bit integers, escapes in
// strings are decoded and a string that is not UTF-8 reads as
// "(invalid UTF8)".

#include <optional>
#include <string>

#include "platform/core/Value.h"
#include "reporter/VXMFile.h"

// Reader. Each returns nullopt at the end of input or on malformed input.
std::optional<platform::Value> VXMFileReadSection(VXMFile* file);
std::optional<platform::Value> VXMFileReadHash(VXMFile* file);
std::optional<platform::Value> VXMFileReadObject(VXMFile* file);
std::optional<std::string> VXMFileReadString(VXMFile* file);
void VXMFileReadPastWhiteSpace(VXMFile* file);
// Moves to the next character (0 at the end).
void VXMFileReadAdvance(VXMFile* file);
// True, and moves on, when the current character is `expected`.
bool VXMFileReadExpectedCharacter(VXMFile* file, char expected);
char VXMFileReadPeek(const VXMFile* file);

// The sections of a record merged into one dictionary (at most 22 read),
// with "file_lines" set to the number of sections read.
platform::Value VXMFileReadRecord(VXMFile* file);
// The same for a file; nullopt when it cannot be opened.
std::optional<platform::Value> VXMFileReadRecordAtPath(const std::string& path);
