// Test support for whole runs of the Kestrane program: a private folder tree
// (work/ is the current directory, DB/ beside it, tmp/ the temporary
// directory), the simulated sensor's configuration in work/Tollan.ini with its
// flash state in work/flash.state, one run of the program with given
// arguments and standard input, and the tool's messages and the flash after it.
#pragma once

#include <Tollan/src/sensor/flash/FlashStore.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrane::testing {

struct RunResult {
  int exitCode = -1;
  std::string output;                 // standard output and error as written
  std::vector<std::string> messages;  // the tool's lines: log texts without their prefix, and plain lines
};

// The default sensor's section lines: firmware 5.8.22, serial "SN123", a boot
// block (read only), an identity file, default NESA parameters and two
// firmware files in the upgrade zone [0x100000, 0x200000).
extern const char kDefaultSensor[];
// An update INI for kDefaultSensor: protection file at 0x30000, the upgrade
// area [0x100000, 0x200000), fast clear on, two general files.
extern const char kDefaultUpdate[];

class Scenario {
 public:
  Scenario();
  ~Scenario();
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  // Writes the "SensorV2.0" section (after the kit's unpaced setting); a key
  // that occurs again replaces the earlier one.
  void Sensor(const std::string& sectionLines);
  // Writes work/Kestrane_TB452.ini, the file a run without arguments reads.
  void Update(const std::string& ini) { Write("work/Kestrane_TB452.ini", ini); }
  // Writes a file below the scenario's root ("work/fw.bin", "DB/SN1/x").
  void Write(const std::string& relative, const std::string& content);
  void MakeDirectory(const std::string& relative);
  bool Exists(const std::string& relative) const;
  std::string Read(const std::string& relative) const;
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  // Names in a folder below the root.
  std::vector<std::string> List(const std::string& relative) const;

  // Runs the program in work/ with arguments and standard input (a pipe; an
  // empty input is /dev/null). nowait: the build that skips the reset waits.
  RunResult Run(const std::vector<std::string>& arguments, const std::string& input = "", bool nowait = false,
                const std::string& tempDirectory = "") const;

  // The flash as the sensor left it in its state file (empty when no change
  // was ever saved).
  std::vector<tollan::sensor::FlashFile> Flash() const;

 private:
  std::string root_;
};

// A copy of the file at offset (or with id), if there is one.
std::optional<tollan::sensor::FlashFile> FileAt(const std::vector<tollan::sensor::FlashFile>& flash, uint32_t offset);
std::optional<tollan::sensor::FlashFile> FileWithId(const std::vector<tollan::sensor::FlashFile>& flash, uint16_t id);
// A flash file's bytes: the 16-bit type, then text.
std::string FlashBytes(uint16_t type, const std::string& text);

// True when every expected line occurs in messages in this order (others may
// lie between); otherwise says which was missing.
::testing::AssertionResult InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected);
// True when second comes right after the first occurrence of first.
::testing::AssertionResult Follows(const std::vector<std::string>& messages, const std::string& first,
                                   const std::string& second);
::testing::AssertionResult Has(const std::vector<std::string>& messages, const std::string& line);
::testing::AssertionResult Lacks(const std::vector<std::string>& messages, const std::string& line);
// The run ended through the failure report: "<message>: <status text>", the
// FAILURE banner, the key prompt, exit status 1 (65537 cut to 8 bits).
::testing::AssertionResult FailedWith(const RunResult& run, const std::string& message, KrStatus status);
// The run ended with the SUCCESS banner and exit status 0.
::testing::AssertionResult Succeeded(const RunResult& run);

}  // namespace kestrane::testing
