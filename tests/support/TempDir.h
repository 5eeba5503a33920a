#pragma once
// A fresh directory under $TMPDIR for one test, removed with everything in it
// when the object goes.

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "tessaro-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Whole-file helpers for fixtures.
std::string readFile(const std::filesystem::path& p);
void writeFile(const std::filesystem::path& p, const std::string& bytes);

// The first line a shell command prints, without its line end: the way to
// ask a standard tool (openssl, nm, readelf) for the expected value.
std::string firstOutputLine(const std::string& command);
// Everything a shell command writes to standard output ("" when it cannot run).
std::string commandOutput(const std::string& command);

}  // namespace testsupport
