#pragma once
// The application's localised texts: one English table per table name,
// built into the program from src/app/resources/strings.json. Lookups of a
// key the table lacks give the default ("" unless the caller names one).
//
//   platform::localizedString("bytes")                       // main table
//   platform::localizedString("Move to Applications folder?", "MoveApplication")
//   platform::formatText(platform::localizedString("folderNotFoundMsg"), {name})
//
// The reporter's "Vexmor" table and the rating prompt's texts are absent on
// purpose: their callers fall back to the service's texts and their own
// defaults, which a text of ours would override.
//
// No Qt here: libraries below the application look texts up too.

#include <initializer_list>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::string_view kMainStringTable = "Localizable";

std::string localizedString(std::string_view key, std::string_view table = kMainStringTable,
                            std::string_view defaultValue = {});

// Fills the placeholders of a text from the table with `args` in order:
// "%@", "%s", "%d", "%i", "%u", "%ld", "%lu", "%lld", "%llu" each take the
// next argument as it stands (callers pass numbers already written out), "%n$@"
// and friends take argument n, "%%" is a percent sign. A placeholder without
// an argument becomes empty and anything else stays as written, so a faulty
// text never reaches printf.
std::string formatText(std::string_view format, std::initializer_list<std::string_view> args);

}  // namespace platform
